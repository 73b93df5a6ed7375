// Windows-only behaviour of the exported functions: both path forms, null paths,
// memory failure, and the launcher's export table.

#include "lzma_exports.h"
#include "md5.h"
#include "scratch.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <set>

namespace {

std::string text_sample() {
    return std::string(200000, 'a') + "kõik on hästi\n";
}

// Maps relative virtual addresses of a PE file read into memory to file offsets.
class pe_image {
  public:
    explicit pe_image(std::string bytes) : bytes_(std::move(bytes)) {
        const auto* dos = at<IMAGE_DOS_HEADER>(0);
        nt_ = at<IMAGE_NT_HEADERS32>(static_cast<std::size_t>(dos->e_lfanew));
    }

    std::set<std::string> export_names() const {
        const IMAGE_DATA_DIRECTORY& directory =
            nt_->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
        std::set<std::string> names;
        if (directory.VirtualAddress == 0)
            return names;
        const auto* exports = at<IMAGE_EXPORT_DIRECTORY>(offset_of(directory.VirtualAddress));
        const auto* name_table = at<DWORD>(offset_of(exports->AddressOfNames));
        for (DWORD i = 0; i < exports->NumberOfNames; ++i)
            names.insert(bytes_.c_str() + offset_of(name_table[i]));
        return names;
    }

  private:
    template <typename T> const T* at(std::size_t offset) const {
        if (offset + sizeof(T) > bytes_.size())
            throw std::out_of_range("PE structure beyond the end of the file");
        return reinterpret_cast<const T*>(bytes_.data() + offset);
    }

    std::size_t offset_of(DWORD rva) const {
        const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt_);
        for (WORD i = 0; i < nt_->FileHeader.NumberOfSections; ++i, ++section) {
            if (rva >= section->VirtualAddress &&
                rva < section->VirtualAddress + section->Misc.VirtualSize)
                return rva - section->VirtualAddress + section->PointerToRawData;
        }
        throw std::out_of_range("address outside every section");
    }

    std::string bytes_;
    const IMAGE_NT_HEADERS32* nt_;
};

} // namespace

TEST(lzma_exports, launcher_exports_the_four_functions_undecorated) {
    const pe_image launcher(read_bytes(std::getenv("QM_LAUNCHER")));
    const std::set<std::string> expected{"LzmaCompress", "LzmaCompressW", "LzmaUncompress",
                                         "LzmaUncompressW"};
    EXPECT_EQ(expected, launcher.export_names());
}

TEST(lzma_exports, narrow_forms_round_trip) {
    scratch_directory scratch;
    write_bytes(scratch.file("plain.txt"), text_sample());
    const std::string container = scratch.file("plain.lzma");
    ASSERT_EQ(lzma_ok, LzmaCompress(scratch.file("plain.txt").c_str(), container.c_str()));
    ASSERT_EQ(lzma_ok, LzmaUncompress(container.c_str(), scratch.file("back.txt").c_str()));
    EXPECT_EQ(text_sample(), read_bytes(scratch.file("back.txt")));
}

TEST(lzma_exports, wide_forms_take_names_outside_the_code_page) {
    scratch_directory scratch;
    write_bytes(scratch.file("Jõgi ☃ 河.txt"), text_sample());
    const auto original = utf8_path(scratch.file("Jõgi ☃ 河.txt"));
    const auto container = utf8_path(scratch.file("Jõgi ☃ 河.lzma"));
    const auto back = utf8_path(scratch.file("tagasi ☃.txt"));
    ASSERT_EQ(lzma_ok, LzmaCompressW(original.c_str(), container.c_str()));
    ASSERT_EQ(lzma_ok, LzmaUncompressW(container.c_str(), back.c_str()));
    EXPECT_EQ(text_sample(), read_bytes(scratch.file("tagasi ☃.txt")));

    // The launcher's own form gives the digest of what it wrote, over an older file.
    write_bytes(scratch.file("tagasi ☃.txt"), std::string(300000, 'x'));
    md5_digest digest{};
    ASSERT_EQ(lzma_ok, uncompress_with_digest(container.c_str(), back.c_str(), digest));
    EXPECT_EQ(text_sample(), read_bytes(scratch.file("tagasi ☃.txt")));
    EXPECT_EQ(md5_of_bytes(text_sample()), digest);
}

TEST(lzma_exports, null_paths_give_minus_1) {
    EXPECT_EQ(lzma_open_failed, LzmaCompressW(nullptr, L"out"));
    EXPECT_EQ(lzma_open_failed, LzmaUncompress("in", nullptr));
}

TEST(lzma_exports, dictionary_too_large_for_the_address_space_gives_2) {
    scratch_directory scratch;
    write_bytes(scratch.file("in"), text_sample());
    ASSERT_EQ(lzma_ok, LzmaCompressW(utf8_path(scratch.file("in")).c_str(),
                                     utf8_path(scratch.file("in.lzma")).c_str()));
    std::string container = read_bytes(scratch.file("in.lzma"));
    container.replace(1, 4, std::string(4, '\xFF'));
    write_bytes(scratch.file("huge.lzma"), container);
    EXPECT_EQ(lzma_out_of_memory, LzmaUncompressW(utf8_path(scratch.file("huge.lzma")).c_str(),
                                                  utf8_path(scratch.file("out")).c_str()));
}
