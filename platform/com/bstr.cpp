#include "platform/com/bstr.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace sorvex::com {

BSTR SysAllocStringLen(const OLECHAR* text, std::uint32_t length) {
    auto* block = static_cast<char*>(std::malloc(sizeof(std::uint32_t) + length + 1));
    if (block == nullptr) {
        return nullptr;
    }
    std::memcpy(block, &length, sizeof length);
    BSTR chars = block + sizeof(std::uint32_t);
    if (text != nullptr) {
        std::memcpy(chars, text, length);
    } else {
        std::memset(chars, 0, length);
    }
    chars[length] = '\0';
    return chars;
}

BSTR SysAllocString(const OLECHAR* text) {
    if (text == nullptr) {
        return nullptr;
    }
    return SysAllocStringLen(text, static_cast<std::uint32_t>(std::strlen(text)));
}

void SysFreeString(BSTR text) {
    if (text != nullptr) {
        std::free(text - sizeof(std::uint32_t));
    }
}

std::uint32_t SysStringLen(BSTR text) {
    if (text == nullptr) {
        return 0;
    }
    std::uint32_t length;
    std::memcpy(&length, text - sizeof(std::uint32_t), sizeof length);
    return length;
}

void SysReAllocString(BSTR* target, std::string_view text) {
    BSTR copy = AllocBstr(text);
    SysFreeString(*target);
    *target = copy;
}

}  // namespace sorvex::com
