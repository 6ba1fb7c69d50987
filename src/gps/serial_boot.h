// The serial boot-loader path: open the port at 38400 baud, upload the boot loader (header,
// body in 16-byte writes, trailer), then feed the firmware to it line by line as Motorola
// S-records. The only reply read is the boot loader's "SA\r\n" after the header record.
#pragma once

#include <cstdint>
#include <string_view>

#include "gps/gps_line.h"
#include "gps/gps_state.h"
#include "platform/types.h"

// Opens the port for the boot loader: queues of 16 bytes, 8N1 at the baud rate, no flow
// control, DTR and RTS held inactive, reads that return after at most 10 ms. The invalid handle
// when the port cannot be opened or set up (nothing stays open then).
platform::Handle SerialOpenPort(std::string_view port, uint32_t baud);
// True only when all count bytes were written.
bool SerialWrite(gps::Line& line, const uint8_t* bytes, uint32_t count);
// Up to waitUnits x 100 reads of up to capacity bytes, 1 ms apart when one found nothing: the
// count of the first read that delivered, 0 when none did.
uint32_t SerialReadWait(gps::Line& line, uint8_t* buffer, uint32_t capacity, uint32_t waitUnits);
// One read of up to 200 bytes, discarded.
void SerialDrainInput(gps::Line& line);
// Sends the state's binary buffer as the boot loader, reporting progress every 16 bytes.
bool SendBootLoader(GpsProgState& g, gps::Line& line);
// Waits for the boot loader's acknowledgement, whose first 4 bytes must be "SA\r\n".
bool WaitBootAck(GpsProgState& g, gps::Line& line, uint32_t waitUnits);
// Sends the header record, waits for the acknowledgement (the chip erases meanwhile), then every
// line of the state's S-record buffer, reporting progress every 20 lines.
bool SendSRecordFile(GpsProgState& g, gps::Line& line);

// The lines of an S-record text: each up to and including its line feed; a last line without
// one is the rest of the text.
class SRecordLines {
 public:
  SRecordLines(const uint8_t* text, uint32_t size) : m_text(text), m_size(size) {}
  // The next line, or false at the end of the text.
  bool Next(const uint8_t** line, uint32_t* length);
  uint32_t Position() const { return m_position; }

 private:
  const uint8_t* m_text;
  uint32_t m_size;
  uint32_t m_position = 0;
};
