// Drives the real toggle-inline-images.exe the way a user's session meets it: seeds the
// registry, starts the program, answers its warning box as a person would, and reads back
// what the program left in the registry and what it broadcast.
#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace std::string_literals;

constexpr char kKeyPath[] = "SOFTWARE\\Microsoft\\Internet Explorer\\main";
constexpr char kValueName[] = "Display Inline Images";
constexpr char kNeighbourName[] = "Start Page";
constexpr DWORD kRunLimitMs = 20000;

// ---------------------------------------------------------------------------------------------
// Registry values, compared byte for byte.

struct Value {
    bool present;
    DWORD type;
    std::string data;
};

bool operator==(const Value& a, const Value& b)
{
    return a.present == b.present && (!a.present || (a.type == b.type && a.data == b.data));
}

void PrintTo(const Value& value, std::ostream* out)
{
    if (!value.present) {
        *out << "(no value)";
        return;
    }
    *out << "type " << value.type << ", " << value.data.size() << " bytes:";
    for (const char c : value.data) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02x", static_cast<unsigned char>(c));
        *out << hex;
    }
}

Value NoValue() { return {false, REG_NONE, {}}; }
Value Text(std::string text) { return {true, REG_SZ, text.append(1, '\0')}; }
Value Bytes(DWORD type, std::string data) { return {true, type, std::move(data)}; }

const Value kNeighbour = Text("about:blank");

void Store(HKEY key, const char* name, const Value& value)
{
    // A byte that is not NUL after the data: otherwise the registry counts a missing
    // terminator in, and a text without one could not be stored.
    const std::string guarded = value.data + '!';
    ASSERT_EQ(RegSetValueExA(key, name, 0, value.type,
                             reinterpret_cast<const BYTE*>(guarded.data()),
                             static_cast<DWORD>(value.data.size())),
              ERROR_SUCCESS)
        << name;
}

Value Load(const char* name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kKeyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        ADD_FAILURE() << "cannot open the key to read " << name;
        return NoValue();
    }
    std::vector<BYTE> data(4096);
    DWORD type = REG_NONE;
    DWORD size = static_cast<DWORD>(data.size());
    const LSTATUS status = RegQueryValueExA(key, name, nullptr, &type, data.data(), &size);
    RegCloseKey(key);
    if (status == ERROR_FILE_NOT_FOUND) return NoValue();
    EXPECT_EQ(status, ERROR_SUCCESS) << name;
    return {true, type, std::string(reinterpret_cast<const char*>(data.data()), size)};
}

bool KeyExists()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Key security: a key this user may only read, and one it may not open at all.

enum class KeyState { kWritable, kReadOnly, kLocked, kAbsent };

// True when the privilege is now enabled: an unelevated Windows user does not hold it at all.
bool EnablePrivilege(const char* name)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) return false;
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    const bool enabled = LookupPrivilegeValueA(nullptr, name, &privileges.Privileges[0].Luid) &&
                         AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
                         GetLastError() == ERROR_SUCCESS;  // not ERROR_NOT_ALL_ASSIGNED
    CloseHandle(token);
    return enabled;
}

// Restricts the key until it goes out of scope. It holds the key open with the rights to change
// its security: an open handle keeps what it was granted, so even a locked key comes back.
class KeySecurityScope {
public:
    KeySecurityScope() = default;

    void Restrict(KeyState state)
    {
        if (state != KeyState::kReadOnly && state != KeyState::kLocked) return;
        ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kKeyPath, 0, READ_CONTROL | WRITE_DAC | WRITE_OWNER, &key_),
                  ERROR_SUCCESS);
        DWORD size = sizeof original_;
        ASSERT_EQ(RegGetKeySecurity(key_, kParts, original_, &size), ERROR_SUCCESS);

        // Read-only: anyone may read, nobody may write. Locked: SYSTEM's, with no access left
        // for anyone, not even the owner's implicit rights (Windows asks for the restore
        // privilege, enabled by the test, before it lets a key be given away).
        const bool locked = state == KeyState::kLocked;
        const char* sddl = locked ? "O:SYD:P" : "D:P(A;;KR;;;WD)";
        PSECURITY_DESCRIPTOR restricted = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &restricted, nullptr));
        const SECURITY_INFORMATION parts = locked ? kParts : DACL_SECURITY_INFORMATION;
        EXPECT_EQ(RegSetKeySecurity(key_, parts, restricted), ERROR_SUCCESS) << sddl;
        LocalFree(restricted);
    }

    KeySecurityScope(const KeySecurityScope&) = delete;
    KeySecurityScope& operator=(const KeySecurityScope&) = delete;

    ~KeySecurityScope()
    {
        if (key_ == nullptr) return;
        EXPECT_EQ(RegSetKeySecurity(key_, kParts, original_), ERROR_SUCCESS) << "key security not restored";
        RegCloseKey(key_);
    }

private:
    static constexpr SECURITY_INFORMATION kParts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    HKEY key_ = nullptr;
    alignas(SECURITY_DESCRIPTOR_RELATIVE) BYTE original_[4096] = {};
};

void PrepareKey(KeyState state, const Value& before)
{
    const LSTATUS deleted = RegDeleteTreeA(HKEY_CURRENT_USER, kKeyPath);
    ASSERT_TRUE(deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND) << deleted;
    if (state == KeyState::kAbsent) return;

    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    Store(key, kNeighbourName, kNeighbour);
    if (before.present) Store(key, kValueName, before);
    RegCloseKey(key);
    ASSERT_EQ(Load(kValueName), before) << "the value as seeded";
}

// ---------------------------------------------------------------------------------------------
// A top-level window of this test, on a thread of its own, counting the settings broadcasts.

class TopLevelWindow {
public:
    enum class Pumping { kAnswers, kHung };

    explicit TopLevelWindow(Pumping pumping)
        : ready_(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          release_(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          thread_([this, pumping] { Run(pumping); })
    {
        WaitForSingleObject(ready_, INFINITE);
    }

    TopLevelWindow(const TopLevelWindow&) = delete;
    TopLevelWindow& operator=(const TopLevelWindow&) = delete;

    ~TopLevelWindow()
    {
        SetEvent(release_);
        if (window_ != nullptr) PostMessageA(window_, WM_CLOSE, 0, 0);
        thread_.join();
        CloseHandle(release_);
        CloseHandle(ready_);
    }

    int Broadcasts() const { return broadcasts_; }
    bool ParametersAllZero() const { return parameters_all_zero_; }

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
    {
        if (message == WM_NCCREATE) {
            const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lparam);
            SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        }
        auto* self = reinterpret_cast<TopLevelWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (self != nullptr && message == WM_WININICHANGE) {
            ++self->broadcasts_;
            if (wparam != 0 || lparam != 0) self->parameters_all_zero_ = false;
            return 0;
        }
        if (message == WM_DESTROY) PostQuitMessage(0);
        return DefWindowProcA(window, message, wparam, lparam);
    }

    void Run(Pumping pumping)
    {
        WNDCLASSA window_class = {};
        window_class.lpfnWndProc = Procedure;
        window_class.hInstance = GetModuleHandleA(nullptr);
        window_class.lpszClassName = "ToggleRunTestWindow";
        RegisterClassA(&window_class);  // already there after the first window: fine
        window_ = CreateWindowExA(0, window_class.lpszClassName, "toggle run test", WS_OVERLAPPEDWINDOW,
                                  0, 0, 100, 100, nullptr, nullptr, window_class.hInstance, this);
        SetEvent(ready_);
        if (window_ == nullptr) return;
        // A hung window: its thread takes no messages until the test lets it go.
        if (pumping == Pumping::kHung) WaitForSingleObject(release_, INFINITE);
        MSG message = {};
        while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
    }

    HANDLE ready_;
    HANDLE release_;
    HWND window_ = nullptr;
    std::atomic<int> broadcasts_{0};
    std::atomic<bool> parameters_all_zero_{true};
    std::thread thread_;
};

// ---------------------------------------------------------------------------------------------
// One run of the program, with the boxes it showed, read and dismissed as a person would.

struct Box {
    std::string caption;
    std::string text;
    std::vector<std::string> buttons;
    bool has_icon;
    bool has_owner;
};

struct Outcome {
    bool ended = false;
    DWORD exit_code = STILL_ACTIVE;
    double seconds = 0;
    std::vector<Box> boxes;
};

std::string WindowText(HWND window)
{
    char text[512] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

std::string ClassName(HWND window)
{
    char name[64] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

BOOL CALLBACK CollectButton(HWND child, LPARAM buttons)
{
    if (ClassName(child) == "Button" && IsWindowVisible(child))
        reinterpret_cast<std::vector<std::string>*>(buttons)->push_back(WindowText(child));
    return TRUE;
}

Box ReadBox(HWND box)
{
    Box seen = {WindowText(box), {}, {}, false, GetWindow(box, GW_OWNER) != nullptr};
    char text[512] = {};
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);  // the message's static control
    seen.text = text;
    seen.has_icon = SendDlgItemMessageA(box, 1088, STM_GETICON, 0, 0) != 0;
    EnumChildWindows(box, CollectButton, reinterpret_cast<LPARAM>(&seen.buttons));
    return seen;
}

struct BoxSearch {
    DWORD process_id;
    std::set<HWND>* answered;
    std::vector<Box>* boxes;
};

// Reads each box of the program's once it is up, then presses its OK button.
BOOL CALLBACK AnswerBox(HWND window, LPARAM context)
{
    auto& search = *reinterpret_cast<BoxSearch*>(context);
    DWORD owner_process = 0;
    GetWindowThreadProcessId(window, &owner_process);
    if (owner_process != search.process_id || ClassName(window) != "#32770" || !IsWindowVisible(window) ||
        !search.answered->insert(window).second)
        return TRUE;
    search.boxes->push_back(ReadBox(window));
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(window, IDOK)));
    return TRUE;
}

std::string ProgramPath()
{
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string result(path, length);
    return result.substr(0, result.find_last_of('\\') + 1) + "toggle-inline-images.exe";
}

Outcome RunToggle(const std::string& arguments)
{
    Outcome run;
    std::string command_line = "\"" + ProgramPath() + "\"" + (arguments.empty() ? "" : " " + arguments);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    LARGE_INTEGER frequency = {}, start = {}, end = {};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    if (!CreateProcessA(nullptr, &command_line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        ADD_FAILURE() << "cannot start " << command_line << ": error " << GetLastError();
        return run;
    }
    std::set<HWND> answered;
    BoxSearch search = {process.dwProcessId, &answered, &run.boxes};
    const ULONGLONG deadline = GetTickCount64() + kRunLimitMs;
    while (!(run.ended = WaitForSingleObject(process.hProcess, 20) == WAIT_OBJECT_0) &&
           GetTickCount64() < deadline)
        EnumWindows(AnswerBox, reinterpret_cast<LPARAM>(&search));
    QueryPerformanceCounter(&end);
    run.seconds = static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
    if (run.ended) {
        GetExitCodeProcess(process.hProcess, &run.exit_code);
    } else {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return run;
}

// ---------------------------------------------------------------------------------------------

struct Case {
    const char* name;
    KeyState key;
    Value before;
    const char* arguments;
    bool hung_window;
    Value after;
    size_t boxes;
    int broadcasts;
};

const std::string kLongText(300, 'x');
const std::string kLongTextStartingWithYes = "yes\0"s + std::string(296, 'y');

const Case kCases[] = {
    // name                               key                  before                     arguments  hung  after        boxes broadcasts
    {"YesBecomesNo",                      KeyState::kWritable, Text("yes"),               "",        false, Text("no"),  0, 1},
    {"NoBecomesYes",                      KeyState::kWritable, Text("no"),                "",        false, Text("yes"), 0, 1},
    {"MissingValueIsCreatedAsYes",        KeyState::kWritable, NoValue(),                 "",        false, Text("yes"), 0, 1},
    {"CapitalYesBecomesYes",              KeyState::kWritable, Text("Yes"),               "",        false, Text("yes"), 0, 1},
    {"NumberOneBecomesTextYes",           KeyState::kWritable, Bytes(REG_DWORD, "\1\0\0\0"s), "",    false, Text("yes"), 0, 1},
    {"BinaryYesAndNulBecomesTextNo",      KeyState::kWritable, Bytes(REG_BINARY, "yes\0"s), "",      false, Text("no"),  0, 1},
    {"YesWithoutItsNulBecomesNo",         KeyState::kWritable, Bytes(REG_SZ, "yes"),      "",        false, Text("no"),  0, 1},
    {"TextOf300CharactersBecomesYes",     KeyState::kWritable, Text(kLongText),           "",        false, Text("yes"), 0, 1},
    {"OverlongValueStartingYesBecomesYes", KeyState::kWritable, Bytes(REG_SZ, kLongTextStartingWithYes), "", false, Text("yes"), 0, 1},
    {"ArgumentsAreIgnored",               KeyState::kWritable, Text("yes"),               "/? no --reset", false, Text("no"), 0, 1},
    {"HungWindowDoesNotHoldTheRun",       KeyState::kWritable, Text("yes"),               "",        true,  Text("no"),  0, 1},
    {"WriteRefusedSilently",              KeyState::kReadOnly, Text("yes"),               "",        false, Text("yes"), 0, 1},
    {"MissingKeyWarnsAndIsNotCreated",    KeyState::kAbsent,   NoValue(),                 "",        false, NoValue(),   1, 0},
    {"KeyThatCannotBeOpenedWarns",        KeyState::kLocked,   Text("yes"),               "",        false, Text("yes"), 1, 0},
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class ToggleRun : public testing::TestWithParam<Case> {};

TEST_P(ToggleRun, Case)
{
    const Case& c = GetParam();
    if (c.key == KeyState::kLocked && !EnablePrivilege(SE_RESTORE_NAME))
        GTEST_SKIP() << "giving the key to SYSTEM needs SeRestorePrivilege, which this user does not hold: "
                        "run the tests elevated";
    ASSERT_NO_FATAL_FAILURE(PrepareKey(c.key, c.before));
    TopLevelWindow listener(TopLevelWindow::Pumping::kAnswers);
    std::unique_ptr<TopLevelWindow> hung;
    if (c.hung_window) hung = std::make_unique<TopLevelWindow>(TopLevelWindow::Pumping::kHung);

    Outcome run;
    {
        KeySecurityScope security;
        ASSERT_NO_FATAL_FAILURE(security.Restrict(c.key));
        run = RunToggle(c.arguments);
    }

    ASSERT_TRUE(run.ended) << "still running after " << kRunLimitMs << " ms";
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_LT(run.seconds, 10.0);
    ASSERT_EQ(run.boxes.size(), c.boxes) << "warning boxes (without a display none can show: use xvfb-run)";
    for (const Box& box : run.boxes) {
        EXPECT_EQ(box.caption, "Warning");
        EXPECT_EQ(box.text, "IExplorer not found");
        EXPECT_EQ(box.buttons, std::vector<std::string>{"OK"});
        EXPECT_FALSE(box.has_icon);
        EXPECT_FALSE(box.has_owner);
    }
    EXPECT_EQ(listener.Broadcasts(), c.broadcasts) << "WM_WININICHANGE messages received";
    EXPECT_TRUE(listener.ParametersAllZero());

    if (c.key == KeyState::kAbsent) {
        EXPECT_FALSE(KeyExists()) << "the program created the key";
        return;
    }
    EXPECT_EQ(Load(kValueName), c.after);
    EXPECT_EQ(Load(kNeighbourName), kNeighbour) << "another value of the key changed";
}

// On Windows the cases run in the user's real profile: the key they rebuild is saved before the
// first and put back after the last, as it was (or absent, if it was).
class SavedKey : public testing::Environment {
public:
    void SetUp() override
    {
        (void)RegDeleteTreeA(HKEY_CURRENT_USER, kBackupPath);
        saved_ = KeyExists();
        if (saved_) {
            ASSERT_TRUE(Copy(kKeyPath, kBackupPath)) << "cannot save " << kKeyPath;
        }
    }

    void TearDown() override
    {
        (void)RegDeleteTreeA(HKEY_CURRENT_USER, kKeyPath);
        if (!saved_) return;
        EXPECT_TRUE(Copy(kBackupPath, kKeyPath)) << "cannot restore " << kKeyPath;
        (void)RegDeleteTreeA(HKEY_CURRENT_USER, kBackupPath);
    }

private:
    static bool Copy(const char* from, const char* to)
    {
        HKEY source = nullptr;
        HKEY target = nullptr;
        bool copied = RegOpenKeyExA(HKEY_CURRENT_USER, from, 0, KEY_READ, &source) == ERROR_SUCCESS &&
                      RegCreateKeyExA(HKEY_CURRENT_USER, to, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &target,
                                      nullptr) == ERROR_SUCCESS &&
                      RegCopyTreeA(source, nullptr, target) == ERROR_SUCCESS;
        if (target != nullptr) RegCloseKey(target);
        if (source != nullptr) RegCloseKey(source);
        return copied;
    }

    static constexpr char kBackupPath[] = "SOFTWARE\\toggle-inline-images tests, saved Internet Explorer main";
    bool saved_ = false;
};

const testing::Environment* const kSavedKey = testing::AddGlobalTestEnvironment(new SavedKey);

INSTANTIATE_TEST_SUITE_P(, ToggleRun, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

}  // namespace
