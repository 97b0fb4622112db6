#include "sim/sim_flash.h"

#include <algorithm>

void sim_flash_init(SimFlash* flash, uint32_t base, uint32_t size) {
  flash->base = base;
  flash->bytes.assign(size, 0xFF);
  flash->writable.assign(size, 0);
}

bool sim_flash_contains(const SimFlash* flash, uint32_t address, uint32_t size) {
  // 64-bit sums: an address near 4 GiB plus a size must not wrap into range.
  const uint64_t start = address;
  const uint64_t end = start + size;
  return start >= flash->base && end <= uint64_t{flash->base} + flash->bytes.size();
}

uint8_t sim_flash_erase(SimFlash* flash, uint32_t address, uint32_t size) {
  if (size == 0) {
    return SIM_DEVICE_BAD_SIZE;
  }
  if (!sim_flash_contains(flash, address, size)) {
    return SIM_DEVICE_OUT_OF_RANGE;
  }
  const size_t at = address - flash->base;
  std::fill_n(flash->bytes.begin() + at, size, uint8_t{0xFF});
  std::fill_n(flash->writable.begin() + at, size, uint8_t{1});
  return SIM_DEVICE_OK;
}

uint8_t sim_flash_program(SimFlash* flash, uint32_t address, const uint8_t* data, uint32_t size) {
  if (!sim_flash_contains(flash, address, size)) {
    return SIM_DEVICE_OUT_OF_RANGE;
  }
  const size_t at = address - flash->base;
  for (uint32_t i = 0; i < size; ++i) {
    if (!flash->writable[at + i]) {
      return SIM_DEVICE_NOT_ERASED;
    }
  }
  for (uint32_t i = 0; i < size; ++i) {
    flash->bytes[at + i] = data[i];
    flash->writable[at + i] = 0;
  }
  return SIM_DEVICE_OK;
}

SimImageCheck sim_flash_compare(const SimFlash* flash, uint32_t load_address,
                                const std::vector<uint8_t>& image) {
  SimImageCheck check;
  const uint64_t flash_end = uint64_t{flash->base} + flash->bytes.size();
  for (size_t i = 0; i < image.size(); ++i) {
    const uint64_t address = uint64_t{load_address} + i;
    const bool same = address >= flash->base && address < flash_end &&
                      flash->bytes[address - flash->base] == image[i];
    if (!same) {
      if (check.differing_bytes == 0) {
        check.first_difference = static_cast<uint32_t>(address);
      }
      ++check.differing_bytes;
    }
  }
  check.matches = check.differing_bytes == 0;
  return check;
}
