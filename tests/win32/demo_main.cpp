// Shows a window with the main window's layout and some content, to look at
// the native toolkit without the system's program logic. Closes itself after
// the number of seconds given as argument (default: runs until closed).
#include <cstdlib>
#include <thread>

#include "frontends/win32_toolkit.h"
#include "platform/thread.h"
#include "tests/win32/demo_form.h"

int main(int argc, char** argv) {
  tk::Win32Backend backend;
  tk::SetBackend(&backend);
  Application = new TApplication;
  Application->SetTitle("QUOR Plug Update");
  auto* form = new DemoForm;
  form->BExit->OnClick = [form](TObject*) { form->Close(); };
  Application->CreateForm(form);
  form->Memo1->Lines->Add("Quor Plug an COM1 gefunden.");
  form->Memo1->Lines->Add("Firmware im Plug:    Orvane QUOR PLUG Firmware Revision 1.60.4");
  form->Memo1->Lines->Add("Firmware im Programm: Orvane QUOR PLUG Firmware Revision 1.63.2");
  form->LStatus->SetCaption("Ready");
  form->BUpdate->SetEnabled(true);
  form->CGauge1->SetProgress(42);
  int seconds = argc > 1 ? std::atoi(argv[1]) : 0;
  std::thread closer;
  if (seconds > 0) {
    closer = std::thread([form, seconds] {
      std::this_thread::sleep_for(std::chrono::seconds(seconds));
      tk::PostMessage(form, tk::kWmClose, 0, 0);
    });
  }
  Application->Run();
  if (closer.joinable()) closer.join();
  delete form;
  delete Application;
  Application = nullptr;
  return 0;
}
