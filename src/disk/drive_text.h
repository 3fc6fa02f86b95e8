// Small computations on drive data: capacity in decimal gigabytes, blank trimming of drive
// strings, and the digit order of a USB port chain.
#pragma once
#include <cstdint>

// Decimal gigabytes of a drive from its logical block size and total size in bytes, by the
// IDEMA LBA-count rule (LBA = 97696368 + 1953504 x (GB - 50) in 512-byte units) solved for GB.
// Totals under 1,000,000,000 bytes give 0. The rule is applied to the byte count in 512-byte
// units, which gives exactly the usual results for 512-byte blocks ((blocks - 21168) / 1953504)
// and 4096-byte blocks ((blocks - 2646) / 244188), and the same measure for every other block
// size: a drive's gigabytes do not depend on how it is formatted.
uint32_t CapacityToGB(uint32_t blockSize, uint64_t totalBytes);

// Removes leading and trailing blanks and tabs in place. An all-blank text becomes empty.
void TrimBlanks(char16_t* text);

// Turns a raw USB chain (lowest base-100 digit = host controller index, highest = the device's
// own port) into the port location, whose lowest digit is the device's port: 30201 -> 10203.
uint64_t ReversePortDigits(uint64_t raw);
