// The link's byte areas. They exist once for the whole program, which is
// why only one exchange may run at a time.
#include "link/link_records.h"

uint8_t link_rx_area[LINK_READ_SIZE];
uint8_t link_tx_area[LINK_TX_AREA_SIZE];
uint8_t link_stray_area[LINK_STRAY_AREA_SIZE];
int16_t link_stray_count;
uint16_t link_payload_index;
