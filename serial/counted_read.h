// Reads that end when the answer is complete, on a driver that completes a
// read on count: the Windows COM driver with the port's 1 ms time-outs. Such
// a driver ends a read when it holds as many bytes as were asked for, when
// the line has been quiet for the interval time-out after a byte, or after
// the total time-out; asked for more than the controller sends, it waits for
// quiet. So the read asks for no more than the caller's check still misses,
// and then takes what else the driver already holds without waiting. No OS
// headers: the Windows port supplies the driver, the tests a fake.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/port.h"

class CountedDriver {
public:
  // One read of up to `count` bytes, ending as above. False on a read error.
  virtual bool read(uint8_t* buffer, size_t count, size_t* got) = 0;
  // How many received bytes wait in the driver. False on an error.
  virtual bool queued(size_t* count) = 0;
  // A steady clock in milliseconds.
  virtual uint64_t now_ms() = 0;

protected:
  ~CountedDriver() = default;
};

// SerialPort::read_until over `driver`: waits up to the port's total time-out
// for a read of `capacity` bytes (1 ms per byte plus 1 ms) for the first
// byte, then reads on until `check` finds the bytes complete or the line
// goes quiet. Bytes the driver holds beyond a complete answer are taken in
// the same read, as a POSIX read() takes all that has arrived: a burst of
// answers stays together. A read error after some bytes hands those over
// first; the next read reports it.
bool counted_read_until(CountedDriver& driver, uint8_t* buffer, size_t capacity, size_t* got,
                        const ReadCheck& check);
