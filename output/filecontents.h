// A found file's contents read through its runs for a check, by the saver
// and by the rebuilds that wait for proof.
#pragma once

#include "model/kovcore.h"
#include "verify/verify.h"

#include <QByteArray>
#include <cstdint>
#include <memory>
#include <optional>

namespace filecontents {

// A file read whole into memory for a check, when it has not been written
// (a listing, a second-chance candidate), is at most this large: a
// recorded size of up to 4 GiB must not become one allocation per
// candidate.
constexpr std::uint64_t wholereadlimit = 256u << 20;

// The volume's cluster size, which bounds the padding a check allows.
std::uint32_t clusterbytes(const KOVCore& core);
// The whole contents read through the runs; null when they cannot be, or
// when the file is larger than wholereadlimit.
std::unique_ptr<unsigned char[]> readwhole(const KOVCore& core, const FILEPARM& file);
// The cheap facts of family kind hold for file (verify::mayverify, read
// through its runs).
bool plausible(const KOVCore& core, const FILEPARM& file, verify::family kind);
// The SHA-256 of file's contents when kind verifies them whole (its
// plausible tail first); none when it does not.
std::optional<QByteArray> provenhash(const KOVCore& core, const FILEPARM& file, verify::family kind);

}  // namespace filecontents
