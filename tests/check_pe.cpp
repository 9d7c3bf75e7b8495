// Reads a built toggle-inline-images.exe through the SDK's own PE structures and checks what
// Windows will see of it: a 32-bit GUI program with no resources that imports the program's own
// calls and, beside them, only what its toolchain's static start-up needs.
//   check_pe PROGRAM
// Prints each problem and ends with status 1 when there is any.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using Names = std::set<std::string>;

struct Expectations {
    const char* toolchain;
    WORD subsystem_major;
    WORD subsystem_minor;
    LONGLONG max_size;
    std::map<std::string, Names> exact;    // these DLLs: exactly these names
    std::map<std::string, Names> at_most;  // these DLLs: no names beyond these (empty: any)
};

const Names kAdvapi32 = {"RegCloseKey", "RegOpenKeyA", "RegQueryValueExA", "RegSetValueExA"};
const Names kUser32 = {"MessageBoxA", "SendMessageTimeoutA"};

#if defined(_MSC_VER)
// MSVC's static start-up calls many KERNEL32 functions, and they change with each release.
const Expectations kExpected = {"MSVC", 5, 1, 192 * 1024,
                                {{"ADVAPI32.DLL", kAdvapi32}, {"USER32.DLL", kUser32}},
                                {{"KERNEL32.DLL", {}}}};
#else
const Expectations kExpected = {
    "mingw-w64", 4, 0, 16 * 1024,
    {{"ADVAPI32.DLL", kAdvapi32}, {"USER32.DLL", kUser32}},
    {{"KERNEL32.DLL",
      {"DeleteCriticalSection", "EnterCriticalSection", "FreeLibrary", "GetLastError", "GetModuleHandleA",
       "GetProcAddress", "GetStartupInfoA", "InitializeCriticalSection", "LeaveCriticalSection", "LoadLibraryA",
       "SetUnhandledExceptionFilter", "Sleep", "TlsGetValue", "VirtualProtect", "VirtualQuery"}},
     {"MSVCRT.DLL",
      {"__getmainargs", "__initenv", "__p__acmdln", "__p__commode", "__p__fmode", "__set_app_type",
       "__setusermatherr", "_amsg_exit", "_cexit", "_initterm", "_iob", "_onexit", "abort", "calloc", "exit",
       "fprintf", "free", "fwrite", "malloc", "memcpy", "signal", "strlen", "strncmp", "vfprintf"}}}};
#endif

std::string Upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// The file as it lies on disk, mapped read-only, with relative addresses found through the
// section table.
class Image {
public:
    explicit Image(const char* path)
    {
        file_ = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file_ == INVALID_HANDLE_VALUE) return;
        LARGE_INTEGER size = {};
        GetFileSizeEx(file_, &size);
        size_ = size.QuadPart;
        mapping_ = CreateFileMappingA(file_, nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (mapping_ != nullptr) base_ = static_cast<const BYTE*>(MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, 0));
    }
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;
    ~Image()
    {
        if (base_ != nullptr) UnmapViewOfFile(base_);
        if (mapping_ != nullptr) CloseHandle(mapping_);
        if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    }

    bool Mapped() const { return base_ != nullptr; }
    LONGLONG Size() const { return size_; }

    // A structure at a file offset, or null where it would run past the end.
    template <typename T>
    const T* At(LONGLONG offset) const
    {
        if (offset < 0 || offset + static_cast<LONGLONG>(sizeof(T)) > size_) return nullptr;
        return reinterpret_cast<const T*>(base_ + offset);
    }

    const IMAGE_NT_HEADERS32* Headers() const
    {
        const auto* dos = At<IMAGE_DOS_HEADER>(0);
        if (dos == nullptr || dos->e_magic != IMAGE_DOS_SIGNATURE) return nullptr;
        const auto* nt = At<IMAGE_NT_HEADERS32>(dos->e_lfanew);
        return nt != nullptr && nt->Signature == IMAGE_NT_SIGNATURE ? nt : nullptr;
    }

    std::vector<const IMAGE_SECTION_HEADER*> Sections() const
    {
        std::vector<const IMAGE_SECTION_HEADER*> sections;
        const IMAGE_NT_HEADERS32* nt = Headers();
        const LONGLONG first = LONGLONG{At<IMAGE_DOS_HEADER>(0)->e_lfanew} +
                               LONGLONG{offsetof(IMAGE_NT_HEADERS32, OptionalHeader)} + nt->FileHeader.SizeOfOptionalHeader;
        for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
            const auto* section = At<IMAGE_SECTION_HEADER>(first + i * static_cast<LONGLONG>(sizeof(IMAGE_SECTION_HEADER)));
            if (section != nullptr) sections.push_back(section);
        }
        return sections;
    }

    LONGLONG Offset(DWORD rva) const
    {
        for (const IMAGE_SECTION_HEADER* section : Sections()) {
            const DWORD extent = std::max(section->Misc.VirtualSize, section->SizeOfRawData);
            if (rva >= section->VirtualAddress && rva < section->VirtualAddress + extent)
                return static_cast<LONGLONG>(rva) - section->VirtualAddress + section->PointerToRawData;
        }
        return -1;
    }

    std::string Text(DWORD rva) const
    {
        std::string text;
        for (LONGLONG at = Offset(rva); at >= 0 && at < size_ && base_[at] != 0 && text.size() < 256; ++at)
            text += static_cast<char>(base_[at]);
        return text;
    }

private:
    HANDLE file_ = INVALID_HANDLE_VALUE;
    HANDLE mapping_ = nullptr;
    const BYTE* base_ = nullptr;
    LONGLONG size_ = 0;
};

std::map<std::string, Names> Imports(const Image& image, std::vector<std::string>& problems)
{
    std::map<std::string, Names> imports;
    const IMAGE_DATA_DIRECTORY& directory = image.Headers()->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    LONGLONG at = image.Offset(directory.VirtualAddress);
    for (;; at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
        const auto* descriptor = image.At<IMAGE_IMPORT_DESCRIPTOR>(at);
        if (descriptor == nullptr) {
            problems.push_back("its import table runs past the end of the file");
            break;
        }
        if (descriptor->Name == 0) break;
        Names& names = imports[Upper(image.Text(descriptor->Name))];
        const DWORD thunks = descriptor->OriginalFirstThunk != 0 ? descriptor->OriginalFirstThunk : descriptor->FirstThunk;
        for (LONGLONG thunk = image.Offset(thunks);; thunk += sizeof(IMAGE_THUNK_DATA32)) {
            const auto* entry = image.At<IMAGE_THUNK_DATA32>(thunk);
            if (entry == nullptr || entry->u1.AddressOfData == 0) break;
            if (IMAGE_SNAP_BY_ORDINAL32(entry->u1.Ordinal)) {
                names.insert("ordinal " + std::to_string(IMAGE_ORDINAL32(entry->u1.Ordinal)));
            } else {
                names.insert(image.Text(entry->u1.AddressOfData + offsetof(IMAGE_IMPORT_BY_NAME, Name)));
            }
        }
    }
    return imports;
}

std::vector<std::string> Check(const char* path)
{
    std::vector<std::string> problems;
    const Image image(path);
    if (!image.Mapped()) return {"cannot be read (error " + std::to_string(GetLastError()) + ")"};
    const IMAGE_NT_HEADERS32* nt = image.Headers();
    if (nt == nullptr) return {"is not a PE image"};
    const IMAGE_OPTIONAL_HEADER32& optional = nt->OptionalHeader;
    if (nt->FileHeader.Machine != IMAGE_FILE_MACHINE_I386) problems.push_back("is not for i386");
    if (optional.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC) return {"is not PE32"};
    if (optional.Subsystem != IMAGE_SUBSYSTEM_WINDOWS_GUI) problems.push_back("is not a GUI program");
    if (optional.MajorSubsystemVersion != kExpected.subsystem_major ||
        optional.MinorSubsystemVersion != kExpected.subsystem_minor)
        problems.push_back("has subsystem version " + std::to_string(optional.MajorSubsystemVersion) + "." +
                           std::to_string(optional.MinorSubsystemVersion) + ", not " +
                           std::to_string(kExpected.subsystem_major) + "." + std::to_string(kExpected.subsystem_minor));
    const IMAGE_DATA_DIRECTORY& resources = optional.DataDirectory[IMAGE_DIRECTORY_ENTRY_RESOURCE];
    if (resources.VirtualAddress != 0 || resources.Size != 0) problems.push_back("has a resource directory");
    for (const IMAGE_SECTION_HEADER* section : image.Sections()) {
        if (std::string(reinterpret_cast<const char*>(section->Name), strnlen(reinterpret_cast<const char*>(section->Name), 8)) == ".rsrc")
            problems.push_back("has a resource section (.rsrc)");
    }
    if (image.Size() > kExpected.max_size)
        problems.push_back(std::to_string(image.Size()) + " bytes, more than " + std::to_string(kExpected.max_size));

    const std::map<std::string, Names> imports = Imports(image, problems);
    for (const auto& [dll, names] : imports) {
        const auto exact = kExpected.exact.find(dll);
        const auto at_most = kExpected.at_most.find(dll);
        if (exact == kExpected.exact.end() && at_most == kExpected.at_most.end()) {
            std::string list;
            for (const std::string& name : names) list += " " + name;
            problems.push_back("imports from " + dll + ", which it must not:" + list);
            continue;
        }
        const Names& allowed = exact != kExpected.exact.end() ? exact->second : at_most->second;
        if (exact == kExpected.exact.end() && allowed.empty()) continue;
        for (const std::string& name : names) {
            if (allowed.count(name) == 0) problems.push_back("imports " + name + " from " + dll + ", which it must not");
        }
    }
    for (const auto& [dll, names] : kExpected.exact) {
        const auto found = imports.find(dll);
        for (const std::string& name : names) {
            if (found == imports.end() || found->second.count(name) == 0)
                problems.push_back("does not import " + name + " from " + dll);
        }
    }
    return problems;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: check_pe PROGRAM\n");
        return 2;
    }
    const std::vector<std::string> problems = Check(argv[1]);
    for (const std::string& problem : problems) std::printf("%s: %s\n", argv[1], problem.c_str());
    if (!problems.empty()) return 1;
    std::printf("%s: PE32 for i386, GUI %d.%d, no resources, imports as expected of a %s build\n", argv[1],
                kExpected.subsystem_major, kExpected.subsystem_minor, kExpected.toolchain);
    return 0;
}
