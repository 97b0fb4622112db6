#include "image/image_load.h"
#include "upgrade/firmware.h"

FirmwareImage firmware_from_file(const LoadedImage& loaded) {
  return FirmwareImage{loaded.bytes.data(), static_cast<uint32_t>(loaded.bytes.size()),
                       loaded.load_address};
}
