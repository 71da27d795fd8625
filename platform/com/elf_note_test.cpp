#include "platform/com/elf_note.h"

#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "platform/com/typelib_format.h"
#include "platform/com/version_info.h"
#include "tests/support/temp_root.h"

// A note in this test program itself, made with the embedding macro.
SORVEX_ELF_NOTE(kTestNote, ".note.sorvex.test", 77, 5, 0x01, 0x00, 0xFF, 0x7F, 0x80);

namespace sorvex::com {
namespace {

const std::string kTestNoteBytes("\x01\x00\xff\x7f\x80", 5);

// A minimal ELF64 image: header, one PT_NOTE program header, the note segment.
std::string Image(const std::string& segment, std::uint64_t align = 4) {
    Elf64_Ehdr eh{};
    std::memcpy(eh.e_ident, ELFMAG, SELFMAG);
    eh.e_ident[EI_CLASS] = ELFCLASS64;
    eh.e_ident[EI_DATA] = ELFDATA2LSB;
    eh.e_ident[EI_VERSION] = EV_CURRENT;
    eh.e_type = ET_DYN;
    eh.e_phoff = sizeof eh;
    eh.e_phentsize = sizeof(Elf64_Phdr);
    eh.e_phnum = 1;
    Elf64_Phdr ph{};
    ph.p_type = PT_NOTE;
    ph.p_offset = sizeof eh + sizeof ph;
    ph.p_filesz = segment.size();
    ph.p_align = align;
    std::string out(reinterpret_cast<const char*>(&eh), sizeof eh);
    out.append(reinterpret_cast<const char*>(&ph), sizeof ph);
    return out + segment;
}

std::string Note(std::uint32_t type, const std::string& owner, const std::string& desc,
                 std::size_t align = 4) {
    auto u32 = [](std::uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
    auto pad = [align](std::string s) {
        s.resize((s.size() + align - 1) / align * align, '\0');
        return s;
    };
    // The header and the name together are padded to the alignment, then the data.
    return pad(u32(static_cast<std::uint32_t>(owner.size() + 1)) +
               u32(static_cast<std::uint32_t>(desc.size())) + u32(type) + owner +
               std::string(1, '\0')) +
           pad(desc);
}

TEST(ElfNote, FindsTheEmbeddedNoteInTheFileAndInMemory) {
    std::string data;
    ASSERT_EQ(FindNoteInFile("/proc/self/exe", 77, data), NoteStatus::Found);
    EXPECT_EQ(data, kTestNoteBytes);
    data.clear();
    ASSERT_EQ(FindNoteInLoadedModule(reinterpret_cast<const void*>(&Image), 77, data),
              NoteStatus::Found);
    EXPECT_EQ(data, kTestNoteBytes);
    std::string error;
    EXPECT_EQ(FindNoteInFile("/proc/self/exe", 78, data, &error), NoteStatus::Missing);
    EXPECT_NE(error.find("no Sorvex note of type 78"), std::string::npos) << error;
    EXPECT_EQ(FindNoteInLoadedModule(reinterpret_cast<const void*>(&Image), 78, data),
              NoteStatus::Missing);
}

TEST(ElfNote, TheServerLibraryCarriesItsTypeLibraryAndVersion) {
    std::string bytes;
    ASSERT_EQ(FindNoteInFile(SORVEX_COM_TEST_SERVER, kNoteTypeTypeLib, bytes), NoteStatus::Found);
    TypeLibDesc lib;
    std::string error;
    ASSERT_EQ(ParseTypeLib(bytes, lib, &error), S_OK) << error;
    EXPECT_EQ(lib.name, "SorvexTestLib");

    VersionInfo info;
    ASSERT_TRUE(ReadVersionInfo(SORVEX_COM_TEST_SERVER, info, &error)) << error;
    EXPECT_EQ(FormatVersion(info.fileVersion), "1.2.3.4");
    EXPECT_EQ(FormatVersion(info.productVersion), "1.2.0.0");
    EXPECT_EQ(info.language, 0x0409);
    EXPECT_EQ(info.codePage, 1200);
    ASSERT_NE(info.Find("fileversion"), nullptr);
    EXPECT_EQ(*info.Find("FileVersion"), "1, 2, 3, 4");
    ASSERT_NE(info.Find("OLESelfRegister"), nullptr);
    EXPECT_EQ(*info.Find("OLESelfRegister"), "");
    EXPECT_EQ(info.strings.front().first, "FileDescription");  // the order given
}

TEST(ElfNote, WalksNotesOfEitherAlignment) {
    for (std::size_t align : {4, 8}) {
        const std::string segment = Note(1, "GNU", "abcde", align) + Note(2, "Sorvex", "x", align) +
                                    Note(1, "Sorvex", std::string("\0\xff", 2), align);
        std::string data;
        ASSERT_EQ(FindNoteInBytes(Image(segment, align), 1, data), NoteStatus::Found) << align;
        EXPECT_EQ(data, std::string("\0\xff", 2));
    }
    // Zero padding after the last note is no note.
    std::string data;
    EXPECT_EQ(FindNoteInBytes(Image(Note(5, "GNU", "z") + std::string(8, '\0')), 1, data),
              NoteStatus::Missing);
}

TEST(ElfNote, RefusesMalformedImages) {
    const std::string good = Image(Note(1, "Sorvex", "data"));
    auto patched = [&](std::size_t offset, std::uint64_t value, std::size_t width) {
        std::string b = good;
        std::memcpy(b.data() + offset, &value, width);
        return b;
    };
    const std::size_t ph = sizeof(Elf64_Ehdr);
    struct Row {
        const char* what;
        std::string image;
        NoteStatus expected;
        const char* error;
    } rows[] = {
        {"empty", "", NoteStatus::Invalid, "too short"},
        {"not ELF", std::string(64, 'x'), NoteStatus::Invalid, "not an ELF file"},
        {"32-bit", patched(EI_CLASS, ELFCLASS32, 1), NoteStatus::Invalid, "64-bit"},
        {"program headers past the end", patched(offsetof(Elf64_Ehdr, e_phoff), 1u << 20, 8),
         NoteStatus::Invalid, "program header table"},
        {"huge header count", patched(offsetof(Elf64_Ehdr, e_phnum), 0xFFFF, 2),
         NoteStatus::Invalid, "program header table"},
        {"no program headers", patched(offsetof(Elf64_Ehdr, e_phnum), 0, 2), NoteStatus::Missing,
         "no program headers"},
        {"segment past the end", patched(ph + offsetof(Elf64_Phdr, p_filesz), 1u << 30, 8),
         NoteStatus::Invalid, "outside the file"},
        {"descsz past the segment", patched(ph + sizeof(Elf64_Phdr) + 4, 1000, 4),
         NoteStatus::Invalid, "runs past"},
        {"namesz past the segment", patched(ph + sizeof(Elf64_Phdr), 0xFFFFFFF0u, 4),
         NoteStatus::Invalid, "runs past"},
        {"truncated segment", good.substr(0, good.size() - 4), NoteStatus::Invalid,
         "outside the file"},
    };
    for (const Row& row : rows) {
        std::string data, error;
        EXPECT_EQ(FindNoteInBytes(row.image, 1, data, &error), row.expected) << row.what;
        EXPECT_NE(error.find(row.error), std::string::npos) << row.what << ": " << error;
    }
}

TEST(ElfNote, FileErrorsNameThePath) {
    test::TempRoot root;
    const auto text = root.path() / "plain.txt";
    std::ofstream(text) << "not a library";
    std::string data, error;
    EXPECT_EQ(FindNoteInFile(text, 1, data, &error), NoteStatus::Invalid);
    EXPECT_EQ(error, text.string() + ": too short for an ELF header");
    EXPECT_EQ(FindNoteInFile(root.path() / "missing.so", 1, data, &error), NoteStatus::Invalid);
    EXPECT_EQ(error, (root.path() / "missing.so").string() + ": No such file or directory");
    EXPECT_EQ(FindNoteInFile(root.path(), 1, data, &error), NoteStatus::Invalid);
    EXPECT_NE(error.find("not a regular file"), std::string::npos);
}

TEST(VersionInfo, RoundTripsAndRefusesDamage) {
    VersionInfo info;
    info.fileVersion = {1, 0, 1, 25};
    info.productVersion = {1, 0, 1, 25};
    info.strings = {{"FileDescription", "TalvexSO Module"},
                    {"Bytes", std::string("\0\xff", 2)},
                    {"OLESelfRegister", ""}};
    const std::string bytes = SerializeVersionInfo(info);
    VersionInfo back;
    ASSERT_TRUE(ParseVersionInfo(bytes, back));
    EXPECT_EQ(back.strings, info.strings);
    EXPECT_EQ(back.fileVersion, info.fileVersion);
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        EXPECT_FALSE(ParseVersionInfo(bytes.substr(0, n), back)) << n;
    }
    EXPECT_FALSE(ParseVersionInfo(bytes + "x", back));
    info.strings.push_back({"filedescription", "again"});
    EXPECT_THROW(SerializeVersionInfo(info), std::invalid_argument);
}

}  // namespace
}  // namespace sorvex::com
