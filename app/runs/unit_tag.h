// The identity of the unit a run upgrades, as a barcode scanner reads it off
// the unit: carried into the run's events and its record line.
#pragma once

#include <cstddef>
#include <string>

constexpr size_t UNIT_TAG_MAX = 64;

// Printable ASCII, 1 to UNIT_TAG_MAX characters: it goes into JSON, the
// record and a terminal as it is.
bool unit_tag_is_valid(const std::string& text);

// A product's name, as the line's releases and the records name it.
constexpr size_t FIRMWARE_PRODUCT_MAX = 64;
constexpr char FIRMWARE_PRODUCT_RULE[] = "a product is 1 to 64 letters, digits, '.', '_' and '-'";
bool firmware_product_is_valid(const std::string& product);
