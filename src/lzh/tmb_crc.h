// CRC-16 of LZH archives (CRC-16/ARC): reflected polynomial 0xA001, least
// significant bit first, start value chosen by the caller, no final
// inversion. Every CRC in the program (entry data, header CRC, split
// sidecar) goes through this one routine.
#pragma once
#include <cstddef>
#include <cstdint>

// CRC of `len` bytes at `buf`, continuing from `crc` (0 for a fresh start).
// CRC("123456789") from 0 is 0xBB3D.
uint16_t tmb_crc16(const void *buf, size_t len, uint16_t crc);

// The routine's kernels, so that tests and benchmarks reach each one the
// processor runs: tables only, and folding 16 or 64 bytes per multiply
// (long buffers only; shorter ones go through the tables).
enum class CrcKernel { Tables, Fold16, Fold64 };
bool tmb_crc16_has(CrcKernel k);
uint16_t tmb_crc16_by(CrcKernel k, const void *buf, size_t len, uint16_t crc);
