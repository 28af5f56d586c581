// Runs packed and rebranded: {COMPANY}, {PRODUCT} and {VERSION} expand to the
// texts of this image's own version block, as the system's version API reads
// them, and not to the build's defaults.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "platform/path_template.h"

namespace {

struct version_texts {
    std::wstring company, product, version;  // version: three parts
};

version_texts read_own_version_block() {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(self, &ignored);
    if (size == 0) return {};
    std::vector<BYTE> block(size);
    if (!GetFileVersionInfoW(self, 0, size, block.data())) return {};
    auto text = [&](const wchar_t* key) {
        std::wstring path = std::wstring(L"\\StringFileInfo\\000004b0\\") + key;
        wchar_t* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void**>(&value), &length))
            return std::wstring(L"(missing)");
        return std::wstring(value);
    };
    version_texts texts{text(L"CompanyName"), text(L"ProductName"), L""};
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length))
        texts.version = std::to_wstring(HIWORD(fixed->dwFileVersionMS)) + L"." +
                        std::to_wstring(LOWORD(fixed->dwFileVersionMS)) + L"." +
                        std::to_wstring(HIWORD(fixed->dwFileVersionLS));
    return texts;
}

std::wstring expand(const wchar_t* path_template) {
    wchar_t output[1024];
    if (!expand_path_template(output, path_template, 1024)) return L"(failed)";
    return output;
}

TEST(BrandedImage, PlaceholdersExpandToTheImagesOwnVersionBlock) {
    version_texts block = read_own_version_block();
    ASSERT_FALSE(block.product.empty()) << "the packed image carries no readable version block";
    EXPECT_EQ(expand(L"{COMPANY}"), block.company);
    EXPECT_EQ(expand(L"{PRODUCT}"), block.product);
    EXPECT_EQ(expand(L"{VERSION}"), block.version);
    // The packer did rebrand: neither place still holds the build's defaults.
    EXPECT_EQ(block.product, L"Br\u00e4nded Product");
    EXPECT_EQ(block.version, L"2.3.4");
}

}  // namespace
