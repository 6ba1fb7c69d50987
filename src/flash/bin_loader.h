// The BIN image loader: assembles a .BIN record image in RAM and hands it to the partition
// writer.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

// Delivers exactly count bytes of the plain stream to destination, or false.
using ImageFetch = std::function<bool(uint32_t count, uint8_t* destination)>;
// Writes the assembled image (OEMWriteFlash's shape); true when it is in flash.
using ImageWrite = std::function<bool(uint32_t start, uint32_t length)>;

// Closes the member (InterfaceFileClose's shape).
using ImageClose = std::function<void()>;

struct ImageIo {
  ImageFetch fetch;
  ImageWrite write;
  ImageClose close;
};

struct FlashJob;

// Loads the member through FetchImageBytes and writes it with `write` (the partition writer's
// OEMWriteFlash); the outcome is the flash job's success flag.
void LoadBIN(FlashJob& job, std::string_view file, const ImageWrite& write);

// The load after the member is open: the header, the memory division, the image buffer (kept
// in the flash job) and the records. Returns true when write() was called and succeeded.
bool LoadBINStream(FlashJob& job, const ImageIo& io);
