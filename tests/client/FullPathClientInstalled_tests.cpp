// The locator with HKEY_LOCAL_MACHINE redirected, in this process, to a scratch key.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/ClientScratchFolder.h"
#include "FullPathClientInstalled.h"
#include "support/RegistryScratchKey.h"

namespace {

class VendorKeys {
public:
    VendorKeys() { EXPECT_EQ(RegOverridePredefKey(HKEY_LOCAL_MACHINE, scratch_.get()), ERROR_SUCCESS); }
    VendorKeys(const VendorKeys&) = delete;
    VendorKeys& operator=(const VendorKeys&) = delete;
    ~VendorKeys() { RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr); }

    void Dir(const std::wstring& product, const std::wstring& dir, DWORD type = REG_SZ) const {
        scratch_.SetText(Key(product), L"InstallDir", dir, type);
    }
    void NumberDir(const std::wstring& product) const {
        const DWORD number = 1;
        scratch_.Set(Key(product), L"InstallDir", REG_DWORD, &number, 4);
    }
    void EmptyKey(const std::wstring& product) const { scratch_.CreateKey(Key(product)); }

private:
    static std::wstring Key(const std::wstring& product) { return L"SOFTWARE\\Brevanti\\" + product; }
    RegistryScratchKey scratch_;
};

std::wstring AnswerWith(const std::function<void(const VendorKeys&)>& setup) {
    VendorKeys keys;
    setup(keys);
    return FullPathClientInstalled();
}

TEST(FullPathClientInstalled, RegistryRules) {
    EXPECT_EQ(AnswerWith([](auto&) {}), L"") << "no vendor keys";

    // Pellora's directory wins, with no look at the disk.
    EXPECT_EQ(AnswerWith([](auto& k) {
                  k.Dir(L"Pellora", L"C:\\P\\");
                  k.Dir(L"Quintell", L"C:\\Q\\");
                  k.Dir(L"Sarvek", L"C:\\S\\");
              }),
              L"C:\\P\\Pellora.exe");
    EXPECT_EQ(AnswerWith([](auto& k) { k.Dir(L"Pellora", L"C:\\Pellora"); }), L"C:\\PelloraPellora.exe")
        << "no separator is inserted";

    // A Pellora key without a usable directory falls through to Quintell.
    for (const auto& pellora : std::vector<std::function<void(const VendorKeys&)>>{
             [](auto& k) { k.Dir(L"Pellora", L""); },
             [](auto& k) { k.EmptyKey(L"Pellora"); },
             [](auto& k) { k.Dir(L"Pellora", L"C:\\P\\", REG_EXPAND_SZ); },
             [](auto& k) { k.NumberDir(L"Pellora"); },
         })
        EXPECT_EQ(AnswerWith([&](auto& k) {
                      pellora(k);
                      k.Dir(L"Quintell", L"C:\\Q\\");
                  }),
                  L"C:\\Q\\Quintell.exe");

    // A Quintell key without a usable directory: the server's directory + Pellora.exe,
    // untested on disk, or nothing.
    for (const auto& quintell : std::vector<std::function<void(const VendorKeys&)>>{
             [](auto& k) { k.Dir(L"Quintell", L""); },
             [](auto& k) { k.EmptyKey(L"Quintell"); },
             [](auto& k) { k.Dir(L"Quintell", L"C:\\Q\\", REG_EXPAND_SZ); },
             [](auto& k) { k.NumberDir(L"Quintell"); },
         }) {
        EXPECT_EQ(AnswerWith([&](auto& k) {
                      quintell(k);
                      k.Dir(L"Sarvek", L"C:\\Nowhere\\");
                  }),
                  L"C:\\Nowhere\\Pellora.exe");
        EXPECT_EQ(AnswerWith([&](auto& k) { quintell(k); }), L"");
        EXPECT_EQ(AnswerWith([&](auto& k) {
                      quintell(k);
                      k.Dir(L"Sarvek", L"");
                  }),
                  L"");
        EXPECT_EQ(AnswerWith([&](auto& k) {
                      quintell(k);
                      k.Dir(L"Sarvek", L"C:\\S\\", REG_EXPAND_SZ);
                  }),
                  L"");
    }
}

TEST(FullPathClientInstalled, ServerDirectoryOnDisk) {
    const auto answer = [](const ClientScratchFolder& folder, const std::wstring& dir) {
        return AnswerWith([&](auto& k) {
            k.Dir(L"Sarvek", dir.empty() ? folder.path() : dir);
            k.Dir(L"Pellora", L"");
        });
    };
    {
        ClientScratchFolder f;
        EXPECT_EQ(answer(f, L""), L"") << "neither executable";
        f.AddFile(L"Pellora.exe");
        EXPECT_EQ(answer(f, L""), f.path() + L"Pellora.exe");
        f.AddFolder(L"Quintell");
        f.AddFile(L"Quintell\\Quintell.exe");
        EXPECT_EQ(answer(f, L""), f.path() + L"Quintell\\Quintell.exe") << "both: through the sub-folder";
    }
    {
        ClientScratchFolder f;  // a directory where the executable should be
        f.AddFolder(L"Quintell");
        f.AddFolder(L"Quintell\\Quintell.exe");
        f.AddFolder(L"Pellora.exe");
        EXPECT_EQ(answer(f, L""), L"");
    }
    {
        ClientScratchFolder f;  // hidden and system files do not count; read-only ones do
        f.AddFolder(L"Quintell");
        f.AddFile(L"Quintell\\Quintell.exe", FILE_ATTRIBUTE_HIDDEN);
        f.AddFile(L"Pellora.exe", FILE_ATTRIBUTE_SYSTEM);
        EXPECT_EQ(answer(f, L""), L"");
        f.AddFile(L"Pellora.exe", FILE_ATTRIBUTE_READONLY);
        EXPECT_EQ(answer(f, L""), f.path() + L"Pellora.exe");
    }
    {
        // Taken literally: a wildcard would match these files as a pattern.
        ClientScratchFolder f;
        f.AddFile(L"xPellora.exe");
        f.AddFile(L"PelXPellora.exe");
        EXPECT_EQ(answer(f, f.path() + L"*"), L"");
        EXPECT_EQ(answer(f, f.path() + L"Pel?"), L"");
        EXPECT_EQ(answer(f, f.path() + L"Pel<"), L"");
    }
    {
        // Paths the platform cannot search name no file and end nothing.
        ClientScratchFolder f;
        EXPECT_EQ(answer(f, f.path() + std::wstring(400, L'a') + L"\\"), L"");
        EXPECT_EQ(answer(f, f.path() + std::wstring(40000, L'a') + L"\\"), L"");
        EXPECT_EQ(answer(f, L"C:\\bad|name\\"), L"");
        EXPECT_EQ(answer(f, L"\\\\"), L"");
        EXPECT_EQ(answer(f, L"::\\"), L"");
    }
}

}  // namespace
