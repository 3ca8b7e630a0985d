#include "update/fwupdatestringarray.h"

#include <cstring>

#include "app/main.h"
#include "platform/thread.h"

TFwUpdateSA::TFwUpdateSA(const std::string& fileName, std::uint8_t option, TCGauge* gauge, TLabel* label)
    : TFwUpdate(fileName, option, gauge, label, 0) {}

bool TFwUpdateSA::UpdateFromImage() {
  int lines = 0;
  while (Image[lines] != nullptr) ++lines;
  const bool result = ProgramFlash(lines + 1, nullptr);
  Gauge->SetProgress(0);
  return result;
}

bool TFwUpdateSA::Download(int count, std::FILE* /*source*/) {
  Gauge->SetProgress(0);
  StatusLabel->SetCaption("Uploading Firmware ... ");
  StatusLabel->Repaint();
  int highest = 0;
  bool ok = true;
  for (int i = 1; Image[i - 1] != nullptr; ++i) {
    const char* line = Image[i - 1];
    if (!SendWhole(line, std::strlen(line))) {
      ok = false;
      break;
    }
    // count is lines + 1 and 1 is added, so the gauge runs from 1 to 100.
    const int percentage = i * 100 / count + 1;
    if (percentage > highest) {
      highest = percentage;
      Gauge->SetProgress(percentage);
    }
    Application->ProcessMessages();
    plat::Sleep(0);
  }
  Gauge->SetProgress(0);
  StatusLabel->SetCaption("Ready");
  StatusLabel->Repaint();
  Gauge->Repaint();
  plat::Sleep(1);
  return ok;
}
