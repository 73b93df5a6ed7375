// The launcher carries the built patch tool, byte for byte, as resource PATCHER 132.

#include "resource.h"
#include "scratch.h"
#include "unique_handle.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>

namespace {

struct module_traits {
    using pointer = HMODULE;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer module) noexcept { FreeLibrary(module); }
};
using module_handle = unique_handle<module_traits>;

} // namespace

TEST(launcher_resources, patcher_resource_is_the_built_patch_tool) {
    const module_handle launcher(LoadLibraryExW(utf8_path(std::getenv("QM_LAUNCHER")).c_str(),
                                                nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(launcher);
    HRSRC resource = FindResourceW(launcher.get(), MAKEINTRESOURCEW(IDR_PATCHER), L"PATCHER");
    ASSERT_NE(nullptr, resource);
    const void* bytes = LockResource(LoadResource(launcher.get(), resource));
    ASSERT_NE(nullptr, bytes);
    const std::string embedded(static_cast<const char*>(bytes),
                               SizeofResource(launcher.get(), resource));
    EXPECT_TRUE(embedded == read_bytes(std::getenv("QM_PATCH_TOOL")));
    // The tool holds the old and the new file whole: without the flag, files of 700 MiB
    // do not fit a 32-bit process's addresses under Wine.
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(embedded.data());
    const auto* headers =
        reinterpret_cast<const IMAGE_NT_HEADERS32*>(embedded.data() + dos->e_lfanew);
    EXPECT_TRUE(headers->FileHeader.Characteristics & IMAGE_FILE_LARGE_ADDRESS_AWARE);
}
