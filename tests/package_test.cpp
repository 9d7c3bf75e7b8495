// Takes the MSI through its life as an administrator and a user meet it, in a prefix of its
// own: a silent install, a start from the Start menu shortcut, a major upgrade, a refused
// downgrade, a silent removal and a damaged package. After each step it reads back the
// installer's results from the real registry and file system.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr char kProductName[] = "Toggle Inline Images";
constexpr char kPublisher[] = "The toggle-inline-images authors";
constexpr char kShortcutDescription[] = "Turns pictures on web pages off in Internet Explorer, or back on";
constexpr char kOptionKey[] = "SOFTWARE\\Microsoft\\Internet Explorer\\main";
constexpr char kOptionName[] = "Display Inline Images";
constexpr char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
constexpr DWORD kRunLimitMs = 120000;

std::string ThisFolder()
{
    char path[MAX_PATH] = {};
    const std::string self(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
    return self.substr(0, self.find_last_of('\\') + 1);
}

std::string PackagePath(const char* folder, const char* version)
{
    return ThisFolder() + folder + "toggle-inline-images-" + version + "-win32.msi";
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string KnownFolder(int csidl)
{
    char path[MAX_PATH] = {};
    return SUCCEEDED(SHGetFolderPathA(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path)) ? path : "";
}

// ---------------------------------------------------------------------------------------------
// What the installer left: the entries in Add/Remove Programs, the folder, the shortcut.

struct Entry {
    std::string version;
    std::string publisher;
};

std::string StringValue(HKEY key, const char* name)
{
    char data[512] = {};
    DWORD size = sizeof data - 1;
    DWORD type = REG_NONE;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return "";
    return data;
}

// Both registry views: on 64-bit Windows the entry of a 32-bit package may sit in either.
std::vector<Entry> AddRemoveEntries()
{
    std::set<std::string> seen;
    std::vector<Entry> entries;
    for (const REGSAM view : {REGSAM{KEY_WOW64_64KEY}, REGSAM{KEY_WOW64_32KEY}}) {
        HKEY uninstall = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ | view, &uninstall) != ERROR_SUCCESS)
            continue;
        char name[256];
        for (DWORD i = 0;; ++i) {
            DWORD length = sizeof name;
            if (RegEnumKeyExA(uninstall, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            HKEY product = nullptr;
            if (RegOpenKeyExA(uninstall, name, 0, KEY_READ | view, &product) != ERROR_SUCCESS) continue;
            if (StringValue(product, "DisplayName") == kProductName && seen.insert(name).second)
                entries.push_back({StringValue(product, "DisplayVersion"), StringValue(product, "Publisher")});
            RegCloseKey(product);
        }
        RegCloseKey(uninstall);
    }
    return entries;
}

std::string WithoutTrailingBackslash(std::string path)
{
    if (!path.empty() && path.back() == '\\') path.pop_back();
    return path;
}

std::string InstallFolder() { return KnownFolder(CSIDL_PROGRAM_FILES) + "\\" + kProductName + "\\"; }

std::vector<std::string> FolderContents(const std::string& folder)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((folder + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        const std::string name = found.cFileName;
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

struct Shortcut {
    std::string path;
    std::string target;
    std::string description;
    std::string working_folder;
};

// The shortcut, straight in Programs: the all-users menu on Windows, the user's under Wine.
std::vector<Shortcut> StartMenuShortcuts()
{
    std::vector<Shortcut> shortcuts;
    for (const int csidl : {CSIDL_COMMON_PROGRAMS, CSIDL_PROGRAMS}) {
        const std::string programs = KnownFolder(csidl);
        EXPECT_FALSE(Exists(programs + "\\" + kProductName)) << "a Start menu folder for one entry, in " << programs;
        const std::string path = programs + "\\" + kProductName + ".lnk";
        if (programs.empty() || !Exists(path)) continue;

        Shortcut shortcut = {path, {}, {}, {}};
        IShellLinkA* link = nullptr;
        IPersistFile* file = nullptr;
        wchar_t wide[MAX_PATH] = {};
        MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide, MAX_PATH);
        if (SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                       reinterpret_cast<void**>(&link))) &&
            SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
            SUCCEEDED(file->Load(wide, STGM_READ))) {
            char text[MAX_PATH] = {};
            link->GetPath(text, MAX_PATH, nullptr, 0);
            shortcut.target = text;
            link->GetDescription(text, MAX_PATH);
            shortcut.description = text;
            link->GetWorkingDirectory(text, MAX_PATH);
            shortcut.working_folder = text;
        } else {
            ADD_FAILURE() << "cannot read the shortcut " << path;
        }
        if (file != nullptr) file->Release();
        if (link != nullptr) link->Release();
        shortcuts.push_back(shortcut);
    }
    return shortcuts;
}

// The user's own setting, as raw bytes; empty when there is none.
std::string OptionValue()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kOptionKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return "";
    char data[64] = {};
    DWORD size = sizeof data;
    const LSTATUS status = RegQueryValueExA(key, kOptionName, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? std::string(data, size) : "";
}

// ---------------------------------------------------------------------------------------------
// Everything a package could leave behind: the files of drive C: and the keys and values of the
// machine's and the user's software settings, one line each.

using Snapshot = std::set<std::string>;

void AddFiles(const std::string& folder, Snapshot& snapshot)
{
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((folder + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        const bool is_folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        snapshot.insert((is_folder ? "folder " : "file ") + folder + name);
        // Not into links: they lead out of the prefix.
        if (is_folder && (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
            AddFiles(folder + name + "\\", snapshot);
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

void AddKeys(HKEY parent, const std::string& path, Snapshot& snapshot)
{
    snapshot.insert("key " + path);
    std::vector<char> name(16384);
    std::vector<BYTE> data(1 << 16);
    for (DWORD i = 0;; ++i) {
        DWORD name_length = static_cast<DWORD>(name.size());
        DWORD size = static_cast<DWORD>(data.size());
        DWORD type = REG_NONE;
        if (RegEnumValueA(parent, i, name.data(), &name_length, nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
            break;
        const std::string value = path + "\\" + std::string(name.data(), name_length);
        // The user's setting is checked on its own.
        if (_stricmp(value.c_str(), ("HKCU\\" + std::string(kOptionKey) + "\\" + kOptionName).c_str()) == 0) continue;
        snapshot.insert("value " + value + " = " + std::to_string(type) + ":" +
                        std::string(reinterpret_cast<const char*>(data.data()), size));
    }
    for (DWORD i = 0;; ++i) {
        DWORD name_length = static_cast<DWORD>(name.size());
        if (RegEnumKeyExA(parent, i, name.data(), &name_length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        const std::string child_name(name.data(), name_length);
        HKEY child = nullptr;
        if (RegOpenKeyExA(parent, child_name.c_str(), 0, KEY_READ, &child) != ERROR_SUCCESS) continue;
        AddKeys(child, path + "\\" + child_name, snapshot);
        RegCloseKey(child);
    }
}

Snapshot TakeSnapshot()
{
    Snapshot snapshot;
    AddFiles("C:\\", snapshot);
    HKEY machine = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &machine) == ERROR_SUCCESS) {
        AddKeys(machine, "HKLM\\SOFTWARE", snapshot);
        RegCloseKey(machine);
    }
    AddKeys(HKEY_CURRENT_USER, "HKCU", snapshot);
    return snapshot;
}

// Windows Installer keeps its own bookkeeping: the folder for cached packages and the keys under
// which it registers products. Left empty, they belong to no package.
bool IsInstallerBookkeeping(const std::string& line)
{
    for (const char* prefix : {"folder C:\\windows\\Installer", "key HKLM\\SOFTWARE\\Classes\\Installer",
                               "key HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer"}) {
        if (_strnicmp(line.c_str(), prefix, std::strlen(prefix)) == 0) return true;
    }
    return false;
}

std::vector<std::string> Difference(const Snapshot& from, const Snapshot& to, bool allow_bookkeeping)
{
    std::vector<std::string> lines;
    for (const std::string& line : to) {
        if (from.count(line) == 0 && !(allow_bookkeeping && IsInstallerBookkeeping(line))) lines.push_back(line);
    }
    return lines;
}

// ---------------------------------------------------------------------------------------------
// The steps, one after the other: each starts from what the one before it left.

DWORD RunAndWait(std::string command_line)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, &command_line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        ADD_FAILURE() << "cannot start " << command_line << ": error " << GetLastError();
        return ERROR_PROCESS_ABORTED;
    }
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process.hProcess, kRunLimitMs) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &code);
    } else {
        ADD_FAILURE() << command_line << " still running after " << kRunLimitMs << " ms";
        TerminateProcess(process.hProcess, 1);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

std::string Msiexec(const char* option, const std::string& package)
{
    char system[MAX_PATH] = {};
    GetSystemDirectoryA(system, MAX_PATH);
    return std::string("\"") + system + "\\msiexec.exe\" " + option + " \"" + package + "\" /qn";
}

// Opens the Start menu shortcut as a click in Explorer does, and waits for the program to end.
// Wine's shell starts a link's target without handing its process back; there the wait is for
// the user's setting to become what the run should leave.
DWORD OpenShortcut(const std::string& expected_option)
{
    const std::vector<Shortcut> shortcuts = StartMenuShortcuts();
    if (shortcuts.empty()) {
        ADD_FAILURE() << "no shortcut to start";
        return ERROR_FILE_NOT_FOUND;
    }
    SHELLEXECUTEINFOA open = {};
    open.cbSize = sizeof open;
    open.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    open.lpFile = shortcuts.front().path.c_str();
    open.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExA(&open)) {
        ADD_FAILURE() << "cannot open " << open.lpFile << ": error " << GetLastError();
        return ERROR_PROCESS_ABORTED;
    }
    DWORD code = 0;
    if (open.hProcess != nullptr) {
        EXPECT_EQ(WaitForSingleObject(open.hProcess, kRunLimitMs), WAIT_OBJECT_0);
        GetExitCodeProcess(open.hProcess, &code);
        CloseHandle(open.hProcess);
        return code;
    }
    std::printf("(no process handed back for the link: waiting for the setting)\n");
    const ULONGLONG deadline = GetTickCount64() + kRunLimitMs;
    while (OptionValue() != expected_option && GetTickCount64() < deadline) Sleep(50);
    return code;
}

enum class Action { kInstall, kRemove, kOpenShortcut };

struct Step {
    const char* name;
    Action action;
    std::string package;
    std::set<DWORD> exit_codes;  // more than one where Windows and Wine differ
    const char* installed;       // the version in place afterwards, or none
    std::string option;          // the user's "Display Inline Images" afterwards
    bool nothing_left;           // compared with the prefix before the first step
};

TEST(Package, InstallOpenUpgradeRefuseRemove)
{
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    const std::string current = PackagePath("", TOGGLE_VERSION);
    const std::string newer = PackagePath("tests\\newer\\", TOGGLE_NEWER_VERSION);
    const std::string program = ReadFile(ThisFolder() + "toggle-inline-images.exe");
    ASSERT_FALSE(program.empty());
    ASSERT_TRUE(Exists(current)) << current;
    ASSERT_TRUE(Exists(newer)) << newer;
    // Cut off halfway through, as a broken download is.
    const std::string truncated = ThisFolder() + "tests\\truncated.msi";
    {
        const std::string whole = ReadFile(current);
        std::ofstream(truncated, std::ios::binary).write(whole.data(), static_cast<std::streamsize>(whole.size() / 2));
    }

    // The user has pictures on; only the program itself may change that.
    HKEY option = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kOptionKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &option, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(option, kOptionName, 0, REG_SZ, reinterpret_cast<const BYTE*>("yes"), 4), ERROR_SUCCESS);
    RegCloseKey(option);
    const std::string on("yes\0", 4), off("no\0", 3);

    const Snapshot before = TakeSnapshot();
    ASSERT_TRUE(AddRemoveEntries().empty()) << "the prefix already has the product";

    const Step steps[] = {
        // name                                action                 package    exit codes    installed             option nothing left
        {"silent install",                     Action::kInstall,      current,   {0},          TOGGLE_VERSION,       on,    false},
        {"start from the shortcut",            Action::kOpenShortcut, "",        {0},          TOGGLE_VERSION,       off,   false},
        {"newer package upgrades",             Action::kInstall,      newer,     {0},          TOGGLE_NEWER_VERSION, off,   false},
        {"older package refused over newer",   Action::kInstall,      current,   {ERROR_INSTALL_FAILURE}, TOGGLE_NEWER_VERSION, off, false},
        {"silent removal",                     Action::kRemove,       newer,     {0},          nullptr,              off,   true},
        // Windows: the package cannot be opened; Wine: a plain failure.
        {"truncated package refused",          Action::kInstall,      truncated, {ERROR_INSTALL_PACKAGE_INVALID, ERROR_FUNCTION_FAILED}, nullptr, off, true},
    };

    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        LARGE_INTEGER frequency = {}, start = {}, end = {};
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&start);
        const DWORD code = step.action == Action::kOpenShortcut
                               ? OpenShortcut(step.option)
                               : RunAndWait(Msiexec(step.action == Action::kInstall ? "/i" : "/x", step.package));
        QueryPerformanceCounter(&end);
        std::printf("%-36s exit %lu, %.2f s\n", step.name, static_cast<unsigned long>(code),
                    static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart));
        EXPECT_EQ(step.exit_codes.count(code), 1u) << "exit status " << code;

        const std::vector<Entry> entries = AddRemoveEntries();
        const std::vector<Shortcut> shortcuts = StartMenuShortcuts();
        const std::vector<std::string> files = FolderContents(InstallFolder());
        if (step.installed != nullptr) {
            ASSERT_EQ(entries.size(), 1u) << "entries in Add/Remove Programs";
            EXPECT_EQ(entries[0].version, step.installed);
            EXPECT_EQ(entries[0].publisher, kPublisher);
            EXPECT_EQ(files, (std::vector<std::string>{"LICENSE.txt", "README.txt", "toggle-inline-images.exe"}));
            EXPECT_TRUE(ReadFile(InstallFolder() + "toggle-inline-images.exe") == program)
                << "the installed program is not the build's";
            ASSERT_EQ(shortcuts.size(), 1u) << "Start menu shortcuts";
            EXPECT_EQ(_stricmp(shortcuts[0].target.c_str(), (InstallFolder() + "toggle-inline-images.exe").c_str()), 0)
                << shortcuts[0].target;
            EXPECT_EQ(shortcuts[0].description, kShortcutDescription);
            EXPECT_EQ(_stricmp(WithoutTrailingBackslash(shortcuts[0].working_folder).c_str(),
                               WithoutTrailingBackslash(InstallFolder()).c_str()),
                      0)
                << shortcuts[0].working_folder;
        } else {
            EXPECT_TRUE(entries.empty()) << entries.size() << " entries in Add/Remove Programs";
            EXPECT_TRUE(shortcuts.empty()) << shortcuts.front().path;
            EXPECT_FALSE(Exists(InstallFolder())) << InstallFolder();
        }
        EXPECT_EQ(OptionValue(), step.option) << "the user's " << kOptionName;
        if (step.nothing_left) {
            const Snapshot after = TakeSnapshot();
            for (const std::string& line : Difference(before, after, true)) ADD_FAILURE() << "left behind: " << line;
            for (const std::string& line : Difference(after, before, false)) ADD_FAILURE() << "gone: " << line;
        }
    }
    DeleteFileA(truncated.c_str());
    CoUninitialize();
}

}  // namespace
