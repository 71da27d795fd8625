#include "platform/com/elf_note.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace sorvex::com {

namespace {

// Note segments bigger than this are not ours to read (a type library is a few KiB).
constexpr std::uint64_t kMaxNoteSegment = 64u << 20;
constexpr char kOwner[] = "Sorvex";  // with its terminating zero: namesz 7

template <class T>
T Load(const unsigned char* p) {
    T value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

std::uint64_t AlignUp(std::uint64_t value, std::uint64_t align) {
    return (value + align - 1) / align * align;
}

void SetError(std::string* error, std::string text) {
    if (error != nullptr) {
        *error = std::move(text);
    }
}

// Walks the notes of one segment. Found: data set. Missing: no such note here. Invalid: a note
// header runs past the segment.
NoteStatus WalkNotes(const unsigned char* seg, std::uint64_t size, std::uint64_t align,
                     std::uint32_t type, std::string& data, std::string* error) {
    std::uint64_t pos = 0;
    while (size - pos >= 12) {
        const auto namesz = Load<std::uint32_t>(seg + pos);
        const auto descsz = Load<std::uint32_t>(seg + pos + 4);
        const auto ntype = Load<std::uint32_t>(seg + pos + 8);
        const std::uint64_t nameOff = pos + 12;
        // The data starts at the next multiple of the alignment after the name (for 8-byte
        // aligned notes, such as .note.gnu.property, that is not 12 + the padded name size).
        const std::uint64_t descOff = AlignUp(nameOff + namesz, align);
        if (descOff > size || descsz > size - descOff) {
            // Zero padding after the last note (a section padded by the toolchain) is no note.
            if (namesz == 0 && descsz == 0 && ntype == 0) {
                break;
            }
            SetError(error, "a note runs past the end of its PT_NOTE segment");
            return NoteStatus::Invalid;
        }
        if (ntype == type && namesz == sizeof kOwner &&
            std::memcmp(seg + nameOff, kOwner, sizeof kOwner) == 0) {
            data.assign(reinterpret_cast<const char*>(seg + descOff), descsz);
            return NoteStatus::Found;
        }
        const std::uint64_t next = descOff + AlignUp(descsz, align);
        if (next <= pos || next > size) {
            break;
        }
        pos = next;
    }
    return NoteStatus::Missing;
}

std::uint64_t NoteAlign(std::uint64_t pAlign) {
    return pAlign == 8 ? 8 : 4;
}

}  // namespace

NoteStatus FindNoteInImage(const ImageReader& read, std::uint64_t imageSize, std::uint32_t type,
                           std::string& data, std::string* error) {
    unsigned char ehdr[sizeof(Elf64_Ehdr)];
    if (imageSize < sizeof ehdr || !read(0, sizeof ehdr, ehdr)) {
        SetError(error, "too short for an ELF header");
        return NoteStatus::Invalid;
    }
    if (std::memcmp(ehdr, ELFMAG, SELFMAG) != 0) {
        SetError(error, "not an ELF file");
        return NoteStatus::Invalid;
    }
    if (ehdr[EI_CLASS] != ELFCLASS64 || ehdr[EI_DATA] != ELFDATA2LSB) {
        SetError(error, "not a 64-bit little-endian ELF file");
        return NoteStatus::Invalid;
    }
    const auto phoff = Load<std::uint64_t>(ehdr + offsetof(Elf64_Ehdr, e_phoff));
    const auto phentsize = Load<std::uint16_t>(ehdr + offsetof(Elf64_Ehdr, e_phentsize));
    const auto phnum = Load<std::uint16_t>(ehdr + offsetof(Elf64_Ehdr, e_phnum));
    if (phnum == 0) {
        SetError(error, "the ELF file has no program headers");
        return NoteStatus::Missing;
    }
    if (phnum == PN_XNUM || phentsize < sizeof(Elf64_Phdr) || phoff > imageSize ||
        std::uint64_t{phnum} * phentsize > imageSize - phoff) {
        SetError(error, "the ELF program header table is malformed");
        return NoteStatus::Invalid;
    }
    bool sawNotes = false;
    for (std::uint16_t i = 0; i < phnum; ++i) {
        unsigned char phdr[sizeof(Elf64_Phdr)];
        if (!read(phoff + std::uint64_t{i} * phentsize, sizeof phdr, phdr)) {
            SetError(error, "cannot read the ELF program headers");
            return NoteStatus::Invalid;
        }
        if (Load<std::uint32_t>(phdr + offsetof(Elf64_Phdr, p_type)) != PT_NOTE) {
            continue;
        }
        sawNotes = true;
        const auto offset = Load<std::uint64_t>(phdr + offsetof(Elf64_Phdr, p_offset));
        const auto size = Load<std::uint64_t>(phdr + offsetof(Elf64_Phdr, p_filesz));
        const auto align = Load<std::uint64_t>(phdr + offsetof(Elf64_Phdr, p_align));
        if (offset > imageSize || size > imageSize - offset || size > kMaxNoteSegment) {
            SetError(error, "a PT_NOTE segment lies outside the file");
            return NoteStatus::Invalid;
        }
        std::vector<unsigned char> seg(size);
        if (size != 0 && !read(offset, size, seg.data())) {
            SetError(error, "cannot read a PT_NOTE segment");
            return NoteStatus::Invalid;
        }
        NoteStatus status = WalkNotes(seg.data(), size, NoteAlign(align), type, data, error);
        if (status != NoteStatus::Missing) {
            return status;
        }
    }
    SetError(error, sawNotes ? "no Sorvex note of type " + std::to_string(type)
                             : std::string("the ELF file has no PT_NOTE segment"));
    return NoteStatus::Missing;
}

NoteStatus FindNoteInBytes(std::string_view image, std::uint32_t type, std::string& data,
                           std::string* error) {
    ImageReader read = [image](std::uint64_t offset, std::size_t size, void* out) {
        if (offset > image.size() || size > image.size() - offset) {
            return false;
        }
        std::memcpy(out, image.data() + offset, size);
        return true;
    };
    return FindNoteInImage(read, image.size(), type, data, error);
}

NoteStatus FindNoteInFile(const std::filesystem::path& path, std::uint32_t type, std::string& data,
                          std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        SetError(error, path.string() + ": " + std::strerror(errno));
        return NoteStatus::Invalid;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        SetError(error, path.string() + ": not a regular file");
        return NoteStatus::Invalid;
    }
    ImageReader read = [fd](std::uint64_t offset, std::size_t size, void* out) {
        auto* p = static_cast<char*>(out);
        while (size > 0) {
            const ssize_t n = ::pread(fd, p, size, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            p += n;
            offset += static_cast<std::uint64_t>(n);
            size -= static_cast<std::size_t>(n);
        }
        return true;
    };
    std::string why;
    const NoteStatus status =
        FindNoteInImage(read, static_cast<std::uint64_t>(st.st_size), type, data, &why);
    ::close(fd);
    if (status != NoteStatus::Found) {
        SetError(error, path.string() + ": " + why);
    }
    return status;
}

namespace {

struct ModuleSearch {
    std::uintptr_t address;
    std::uint32_t type;
    std::string* data;
    NoteStatus status = NoteStatus::Missing;
};

int VisitModule(dl_phdr_info* info, std::size_t, void* context) {
    auto* search = static_cast<ModuleSearch*>(context);
    bool contains = false;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum && !contains; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        const std::uintptr_t start = info->dlpi_addr + ph.p_vaddr;
        contains = ph.p_type == PT_LOAD && search->address >= start &&
                   search->address - start < ph.p_memsz;
    }
    if (!contains) {
        return 0;
    }
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_NOTE) {
            continue;
        }
        const auto* seg = reinterpret_cast<const unsigned char*>(info->dlpi_addr + ph.p_vaddr);
        if (WalkNotes(seg, ph.p_memsz, NoteAlign(ph.p_align), search->type, *search->data,
                      nullptr) == NoteStatus::Found) {
            search->status = NoteStatus::Found;
            break;
        }
    }
    return 1;  // the module that holds the address was seen: stop
}

}  // namespace

NoteStatus FindNoteInLoadedModule(const void* address, std::uint32_t type, std::string& data) {
    ModuleSearch search{reinterpret_cast<std::uintptr_t>(address), type, &data};
    ::dl_iterate_phdr(&VisitModule, &search);
    return search.status;
}

}  // namespace sorvex::com
