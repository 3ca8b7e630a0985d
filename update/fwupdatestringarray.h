// TFwUpdateSA: the TFwUpdate that uploads the firmware image built into the
// tool, FirmwareImage: Intel HEX record lines, each ending in one line feed,
// followed by a null entry.
#pragma once

#include "firmware/firmware_image.h"
#include "update/fwupdate.h"

class TFwUpdateSA : public TFwUpdate {
 public:
  // Both controls are required.
  TFwUpdateSA(const std::string& fileName, std::uint8_t option, TCGauge* gauge, TLabel* label);

  // Erase, load, every line of the image, final prompt; the gauge ends at 0.
  bool UpdateFromImage();
  // Ignores source. False when a line could not be written whole.
  bool Download(int count, std::FILE* source) override;

  // The lines to upload; the built-in image unless a test gives another.
  const char* const* Image = FirmwareImage;
};
