// Reading and writing the capture options as values of the settings store.
//
// Reads change a field only where its value is present and well-formed (a 32-bit
// value must be REG_DWORD of 4 bytes; texts REG_SZ or REG_EXPAND_SZ); anything else
// keeps the field as it was. Writes report failure only through their result.
//
// The decode and encode helpers below are the rules for single values, apart from
// the store, so they can be checked on their own.
#pragma once

#include <options/CaptureOptions.h>

#include <cstdint>
#include <string>

// ---- whole groups over open keys ----

// Reads the DirectShow source options from an open "VideoParameters" key.
void ReadDirectShowOptions(HKEY videoKey, DirectShowOptions *options);
// Writes them ("OperationMode" is read first: bits this program does not own are
// kept). Every value is attempted; true only when every write succeeded.
bool WriteDirectShowOptions(HKEY videoKey, const DirectShowOptions &options);

// Reads the preferred format and the force flag from options->videoKey and, when
// options->audioKey is open, the audio format (then corrected to a usable one).
void ReadCaptureFormats(CaptureFormatOptions *options);
// Writes "Colorspace" (deleted with no preference) and "ForceColorspace"; then, when
// the audio key is open, the audio values, stopping at the first failed write.
bool WriteCaptureFormats(const CaptureFormatOptions &options);

// Hands the two functions above to the device records, which read their options
// when the list loads and write them whenever a device's keys are saved. Call once
// at start-up, before the device list is loaded.
void InstallDirectShowOptionsCodec();

// ---- single values ----

inline constexpr uint32_t FIXED_RESOLUTION_OFF = 0x80008000u;

// "FixedResolution": returns false when the value is to be ignored.
bool DecodeFixedResolution(uint32_t value, DirectShowOptions *options);
uint32_t EncodeFixedResolution(const DirectShowOptions &options);

// "BMPNoSignal": the stored text (UTF-8) to the path it names. false when the text is
// unusable (not UTF-8, or a path that does not fit the path field): the value is
// then ignored.
bool DecodeNoSignalText(const std::string &text, DirectShowOptions *options);
// The text to store: "\??\" + path, or empty when there is no image.
std::string EncodeNoSignalText(const DirectShowOptions &options);

// "ScaleMode": the low 4 bits.
inline int32_t DecodeScaleMode(uint32_t value) { return int32_t(value & 0xF); }

// "OperationMode" bits.
enum : uint32_t {
    OPMODE_LIMIT_FPS = 0x200,
    OPMODE_FLIP_VERTICAL = 0x400,
    OPMODE_FIX_FPS = 0x800,
};
void DecodeOperationMode(uint32_t value, DirectShowOptions *options);
// The value to store over `previous` (0 when there was none): the three bits
// follow the flags, every other bit is kept.
uint32_t EncodeOperationMode(uint32_t previous, const DirectShowOptions &options);

// "MaxFps": hundredths of a frame per second.
float DecodeMaxFps(uint32_t value);
uint32_t EncodeMaxFps(float rate);
// The rate kept when "MaxFps" is absent.
float RateWithoutStoredValue(float current);

// Index of a "Colorspace" name (exact comparison), -1 for none.
int VideoFormatIndex(const std::string &name);

// Corrects an audio format read from the store to one the filter can use.
void CorrectAudioFormat(AudioFormat *format);
