// end_session.exe TEXT [SECONDS]: ends the session for the window program as
// Windows does when it shuts down although the program refused
// ("Shut down anyway"): once a control of the program's window shows TEXT
// (waited for up to 120 s) and SECONDS more have passed, each of its two
// top-level windows (the form and the application's window that owns it)
// gets WM_QUERYENDSESSION and then WM_ENDSESSION (wParam TRUE), whatever the
// answer; as soon as the last one returns, the program is ended, as Windows
// may end it at that moment. Prints the answers; status 0 when the program
// was found and ended.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

const wchar_t kFormClass[] = L"QuorPlugForm";
const wchar_t kAppClass[] = L"QuorPlugApplication";

struct Search {
  std::wstring text;
  bool found = false;
};

BOOL CALLBACK Child(HWND hwnd, LPARAM param) {
  auto* search = reinterpret_cast<Search*>(param);
  wchar_t text[128] = {};
  ::GetWindowTextW(hwnd, text, 128);
  if (search->text == text) search->found = true;
  return !search->found;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: end_session.exe TEXT [SECONDS]\n");
    return 2;
  }
  Search search;
  for (const char* c = argv[1]; *c != '\0'; ++c) search.text += static_cast<wchar_t>(static_cast<unsigned char>(*c));
  const int delayMs = argc > 2 ? std::atoi(argv[2]) * 1000 : 0;
  HWND form = nullptr;
  for (int i = 0; i < 1200 && !search.found; ++i) {
    form = ::FindWindowW(kFormClass, nullptr);
    if (form != nullptr) ::EnumChildWindows(form, Child, reinterpret_cast<LPARAM>(&search));
    if (!search.found) ::Sleep(100);
  }
  if (!search.found) {
    std::printf("no window shows \"%s\"\n", argv[1]);
    return 1;
  }
  ::Sleep(static_cast<DWORD>(delayMs));
  HWND app = ::FindWindowW(kAppClass, nullptr);
  for (HWND window : {form, app}) {
    if (window == nullptr) continue;
    const LRESULT allowed = ::SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP);
    std::printf("%ls: query answered %s\n", window == form ? kFormClass : kAppClass,
                allowed != 0 ? "yes" : "no");
  }
  for (HWND window : {form, app}) {
    if (window == nullptr) continue;
    ::SendMessageW(window, WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP);
    std::printf("%ls: end of session returned\n", window == form ? kFormClass : kAppClass);
  }
  DWORD pid = 0;
  ::GetWindowThreadProcessId(form, &pid);
  HANDLE process = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
  if (process == nullptr || !::TerminateProcess(process, 1)) {
    std::printf("the program could not be ended\n");
    return 1;
  }
  ::WaitForSingleObject(process, 10000);
  ::CloseHandle(process);
  std::printf("program ended\n");
  std::fflush(stdout);
  return 0;
}
