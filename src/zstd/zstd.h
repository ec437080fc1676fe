// zstd packages through libzstd: unpacking to a tar, reading the frame
// header, finding the encoder settings that make the package again byte for
// byte, and compressing with recorded settings. Every pass streams through
// fixed buffers; no whole tar or package is held in memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sink/sink.h"

// What the frame header records, and whether the file is one frame.
struct ZstdFrameInfo {
    bool singleFrame = false;     // one zstd frame filling the file (no skippable frames, no trailing bytes)
    uint64_t windowSize = 0;      // from the window descriptor, or the content size of a single segment
    bool singleSegment = false;
    bool checksum = false;        // content checksum flag
    bool contentSizePresent = false;
    uint64_t contentSize = 0;
    uint32_t dictionaryId = 0;
    uint32_t headerSize = 0;      // bytes of magic number and frame header
    uint64_t firstBlockEnd = 0;   // file offset just past the first block
};

// Reads the frame header and walks the block headers to the frame's end.
// True when the file starts with a well-formed zstd frame header and its
// blocks can be walked; singleFrame tells whether that frame fills the file.
bool readZstdFrameInfo(const std::string& path, ZstdFrameInfo& info);

// Encoder settings of a zstd package.
struct ZstdSettings {
    int level = 3;                // 1-22
    bool checksum = true;         // ZSTD_c_checksumFlag
    bool contentSize = true;      // the input size was pledged (it is then in the frame header)
    bool longMode = false;        // ZSTD_c_enableLongDistanceMatching
    uint32_t windowLog = 0;       // 0: the level's; else ZSTD_c_windowLog
    bool multithreaded = false;   // ZSTD_c_nbWorkers >= 1 (the zstd program's default is one worker)
    uint32_t jobSize = 0;         // ZSTD_c_jobSize; 0: the library's default
};

// Unpacks every frame of the file into a new tar file (skippable frames are
// passed over). Bytes after the last whole frame that do not begin a frame
// are left out (the file then has no settings that make it again, and
// travels as its compressed bytes). False when the file cannot be read or a
// frame is damaged or truncated. Windows up to 2 GiB (--long=31) are
// accepted.
bool zstdDecompress(const std::string& package, const std::string& tar);

// Compresses the file at `input` into `out` and finishes the sink; true when
// the compression ran to the end and out.finish() was true, false as soon as
// the sink refuses bytes or the encoder fails. `limit` (when not zero) stops
// after that many input bytes with a flush instead of the end of the frame:
// the probe of a prefix (finish() is not called then; returns false).
bool zstdCompress(const std::string& input, const ZstdSettings& settings, ByteSink& out,
                  uint64_t limit = 0);

// The candidates the frame header allows, most likely first. Empty when the
// file is not one frame or uses a dictionary.
std::vector<ZstdSettings> zstdCandidates(const ZstdFrameInfo& info);

// Tries the candidates in order: one whose output for the first input byte
// shows another frame header is passed over; the others are probed on a
// prefix, and one whose prefix agrees with the package beyond the first
// block is compressed in full at once. When no probe got that far, the
// best-agreeing candidates are compressed in full. Stops at the first that
// matches byte for byte (at most four full compressions). True with `found`
// set when one did; `tried` (may be null) gets the count of full
// compressions.
bool zstdFindSettings(const std::string& tar, const std::string& package, ZstdSettings& found,
                      int* tried = nullptr);

// The settings as newParams: bits 0-4 level, bit 5 checksum, bit 6 content
// size, bit 7 long mode, bits 8-12 window log (0: the level's), bit 13
// multi-threaded. A job size needs the parameter block.
uint32_t zstdSettingsToParams(const ZstdSettings& settings);
ZstdSettings zstdSettingsFromParams(uint32_t params);

// "libzstd 1.5.4": the library this program runs with.
std::string zstdLibraryVersion();
