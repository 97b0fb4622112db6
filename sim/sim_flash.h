// The controller's flash as the simulator models it. Bytes read 0xFF from
// the start, but only an erase makes them writable, and each erased byte
// takes one write: a second write, or a write before any erase, is refused.
#pragma once

#include <cstdint>
#include <vector>

// Device error codes the simulated controller reports in its acknowledgements.
constexpr uint8_t SIM_DEVICE_OK = 0;
constexpr uint8_t SIM_DEVICE_OUT_OF_RANGE = 1; // the area does not lie inside the flash
constexpr uint8_t SIM_DEVICE_NOT_ERASED =
    2;                                     // a byte of the area is not erased since its last write
constexpr uint8_t SIM_DEVICE_BAD_SIZE = 3; // an erase of 0 bytes

struct SimFlash {
  uint32_t base = 0;
  std::vector<uint8_t> bytes;
  std::vector<uint8_t> writable; // 1 where an erase allows the next write
};

void sim_flash_init(SimFlash* flash, uint32_t base, uint32_t size);

// Whether [address, address + size) lies inside the flash.
bool sim_flash_contains(const SimFlash* flash, uint32_t address, uint32_t size);

// Each returns a device error code. A refused request changes nothing.
uint8_t sim_flash_erase(SimFlash* flash, uint32_t address, uint32_t size);
uint8_t sim_flash_program(SimFlash* flash, uint32_t address, const uint8_t* data, uint32_t size);

struct SimImageCheck {
  bool matches = false;
  uint32_t differing_bytes = 0;
  uint32_t first_difference = 0; // device address; meaningful when differing_bytes > 0
};

// Compares the flash at load_address with the image; bytes of the image
// that lie outside the flash count as differing.
SimImageCheck sim_flash_compare(const SimFlash* flash, uint32_t load_address,
                                const std::vector<uint8_t>& image);
