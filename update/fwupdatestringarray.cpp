#include "update/fwupdatestringarray.h"

#include <cstring>

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
  BeginDownload("Uploading Firmware ... ");
  int highest = 0;
  bool ok = true;
  long totalLines = 0;
  long totalBytes = 0;
  for (; Image[totalLines] != nullptr; ++totalLines) totalBytes += static_cast<long>(std::strlen(Image[totalLines]));
  long bytes = 0;
  for (int i = 1; Image[i - 1] != nullptr; ++i) {
    if (StopHere()) break;  // at a line boundary, before the next line
    const char* line = Image[i - 1];
    const std::size_t length = std::strlen(line);
    // Only the monitor's answer to the last line counts: a prompt it sent
    // earlier (refusing the load half way, say) must not pass for it.
    if (Image[i] == nullptr) DropInput();
    if (!SendLine(line, length)) {
      ok = false;
      break;
    }
    bytes += static_cast<long>(length);
    if (Events.LineSent) Events.LineSent(i, totalLines, bytes, totalBytes);
    // count is lines + 1 and 1 is added, so the gauge runs from 1 to 100.
    ShowProgress(i * 100 / count + 1, highest);
    Application->ProcessMessages();
    plat::Sleep(0);
  }
  EndDownload();
  return ok;
}
