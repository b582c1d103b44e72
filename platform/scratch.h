// Scratch files on the output side: bytes a run keeps for itself for a
// while, in a file that never has a name the user sees and is gone when
// closed, or when the process ends however it ends.
#pragma once

#include <QString>
#include <cstdint>

namespace platform {

// A new scratch file in the folder dir, open for reading and writing; -1
// when none can be made there.
std::intptr_t openscratch(const QString& dir);
// Closes it (and so frees what it holds); -1 does nothing.
void closescratch(std::intptr_t scratch);
// n bytes at byte at of the scratch file, all of them or false.
bool writescratch(std::intptr_t scratch, std::uint64_t at, const unsigned char* bytes, std::uint64_t n);
bool readscratch(std::intptr_t scratch, std::uint64_t at, unsigned char* bytes, std::uint64_t n);

// Bytes a file written in dir may still take on its file system; 0 when
// the system cannot tell.
std::uint64_t freespace(const QString& dir);

}  // namespace platform
