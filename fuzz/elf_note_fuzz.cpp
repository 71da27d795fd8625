// Feeds the ELF note walker arbitrary images, and the version information parser what it
// finds. Nothing may read outside the image; a found note lies inside it.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/com/elf_note.h"
#include "platform/com/version_info.h"

using namespace sorvex::com;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view image(reinterpret_cast<const char*>(data), size);
    for (std::uint32_t type : {kNoteTypeTypeLib, kNoteTypeVersionInfo}) {
        std::string note, error;
        const NoteStatus status = FindNoteInBytes(image, type, note, &error);
        if (status != NoteStatus::Found) {
            if (error.empty()) {
                std::abort();
            }
            continue;
        }
        if (note.size() > size) {
            std::abort();
        }
        VersionInfo info;
        if (ParseVersionInfo(note, info, &error)) {
            if (SerializeVersionInfo(info) != note) {
                std::abort();
            }
        } else if (error.empty()) {
            std::abort();
        }
    }
    return 0;
}
