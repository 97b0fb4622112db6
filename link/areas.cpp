// The link's byte areas. Each thread has its own set: one run drives one
// context on one worker thread, so runs on several ports at once never share
// a byte, while a single run works exactly as with one set for the program.
#include "link/link_records.h"

thread_local uint8_t link_rx_area[LINK_READ_SIZE];
thread_local uint8_t link_tx_area[LINK_TX_AREA_SIZE];
thread_local uint8_t link_stray_area[LINK_STRAY_AREA_SIZE];
thread_local int16_t link_stray_count;
thread_local uint16_t link_payload_index;
