#pragma once
// A folder under %TEMP%, unique to this process, removed with everything in it (read-only,
// hidden and system entries included).
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <string_view>

class ClientScratchFolder {
public:
    ClientScratchFolder() {
        static int serial = 0;
        wchar_t temp[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH + 1, temp);
        path_ = std::wstring(temp) + L"talvo-client-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(++serial) + L"\\";
        Remove(path_);
        EXPECT_TRUE(CreateDirectoryW(path_.c_str(), nullptr));
    }
    ClientScratchFolder(const ClientScratchFolder&) = delete;
    ClientScratchFolder& operator=(const ClientScratchFolder&) = delete;
    ~ClientScratchFolder() { Remove(path_); }

    // Ends in a backslash, as an install directory does.
    const std::wstring& path() const { return path_; }

    void AddFile(std::wstring_view relative, DWORD attributes = FILE_ATTRIBUTE_NORMAL) const {
        const std::wstring full = path_ + std::wstring(relative);
        const HANDLE file =
            CreateFileW(full.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << "cannot create " << testing::PrintToString(full);
        CloseHandle(file);
        ASSERT_TRUE(SetFileAttributesW(full.c_str(), attributes));
    }
    void AddFolder(std::wstring_view relative) const {
        ASSERT_TRUE(CreateDirectoryW((path_ + std::wstring(relative)).c_str(), nullptr));
    }

private:
    static void Remove(const std::wstring& folder) {
        WIN32_FIND_DATAW data;
        const HANDLE find = FindFirstFileW((folder + L"*").c_str(), &data);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = data.cFileName;
                if (name == L"." || name == L"..") continue;
                const std::wstring full = folder + name;
                SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    Remove(full + L"\\");
                else
                    DeleteFileW(full.c_str());
            } while (FindNextFileW(find, &data));
            FindClose(find);
        }
        RemoveDirectoryW(folder.c_str());
    }

    std::wstring path_;
};
