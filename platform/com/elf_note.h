// Data stored in a library file as ELF notes: the Linux counterpart of a Windows resource.
//
// A library keeps its type library and its version information as notes of owner "Sorvex" in
// allocated note sections (".note.sorvex.typelib", ".note.sorvex.version"). The linker gathers
// allocated note sections into PT_NOTE segments, so the data can be found both in the file (by
// walking the program headers, without loading the library) and in a loaded module (through
// dl_iterate_phdr). A note never adds an exported symbol.
//
// Layout of one note (ELF gABI): 32-bit namesz, descsz and type, then the owner name with its
// terminating zero padded to 4 bytes ("Sorvex\0" + 1), then descsz data bytes padded to 4.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace sorvex::com {

inline constexpr std::uint32_t kNoteTypeTypeLib = 1;      // section ".note.sorvex.typelib"
inline constexpr std::uint32_t kNoteTypeVersionInfo = 2;  // section ".note.sorvex.version"

// The image of one note of owner "Sorvex" with N data bytes, as it lies in the section.
template <std::size_t N>
struct ElfNoteImage {
    static_assert(N > 0, "a note holds at least one byte");
    std::uint32_t namesz;
    std::uint32_t descsz;
    std::uint32_t type;
    char name[8];
    unsigned char desc[(N + 3) / 4 * 4];
};

#if defined(__clang__)
#define SORVEX_NOTE_NO_SANITIZE __attribute__((no_sanitize("address")))
#else
#define SORVEX_NOTE_NO_SANITIZE
#endif

// Defines a note in the named section of the module being built: an internal object that the
// compiler keeps although nothing refers to it. `size` is the number of data bytes that follow
// as a brace-free list of byte values. Alignment is set on the object itself so that no
// compiler raises it above the 4 bytes notes require (and no sanitizer pads it).
//   SORVEX_ELF_NOTE(kMyNote, ".note.sorvex.typelib", sorvex::com::kNoteTypeTypeLib, 3, 1, 2, 3);
#define SORVEX_ELF_NOTE(ident, sectionName, noteType, size, ...)                     \
    [[gnu::used, gnu::section(sectionName)]] alignas(4)                              \
        SORVEX_NOTE_NO_SANITIZE static constexpr ::sorvex::com::ElfNoteImage<(size)> \
            ident = {7u, (size), (noteType), {'S', 'o', 'r', 'v', 'e', 'x', 0, 0}, {__VA_ARGS__}}

enum class NoteStatus {
    Found,
    Missing,  // a readable ELF image without that note
    Invalid,  // not an ELF64 little-endian image, truncated, or a malformed note segment
};

// Reads `size` bytes at `offset` of an image into `out`; false when it cannot.
using ImageReader = std::function<bool(std::uint64_t offset, std::size_t size, void* out)>;

// Looks for the note of owner "Sorvex" and the type in the PT_NOTE segments of an ELF64
// little-endian image of `imageSize` bytes. On Found `data` holds the note's bytes. On Missing
// and Invalid `error` (optional) says why, without naming the image. The first matching note
// wins. Every offset and size read from the image is checked against `imageSize`.
NoteStatus FindNoteInImage(const ImageReader& read, std::uint64_t imageSize, std::uint32_t type,
                           std::string& data, std::string* error = nullptr);

// The same over bytes in memory (tests and the fuzz target).
NoteStatus FindNoteInBytes(std::string_view image, std::uint32_t type, std::string& data,
                           std::string* error = nullptr);

// The same over a file; reads only the headers and the note segments. The error names the path.
NoteStatus FindNoteInFile(const std::filesystem::path& path, std::uint32_t type, std::string& data,
                          std::string* error = nullptr);

// The note in the module loaded in this process that contains `address` (a function or object
// of that module); Missing when no module contains the address or it has no such note.
NoteStatus FindNoteInLoadedModule(const void* address, std::uint32_t type, std::string& data);

}  // namespace sorvex::com
