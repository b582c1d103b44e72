// Content verdicts: what the bytes of a recovered file say about whether
// they are the file that was deleted. A checker only reads bytes; it never
// touches the volume or the output directory.
#pragma once

#include <QString>
#include <cstddef>
#include <cstdint>
#include <span>

namespace verify {

enum class verdict {
    unchecked,  // no check exists for the file's type
    verified,   // every check of its format passes
    damaged,    // a check fails
};

// "verified", "damaged" or "unchecked".
QString verdictname(verdict v);

// The format families that have a check.
enum class family { none, jpeg, png, gif, bmp, zip, gzip, pdf, riff, mp4, mp3, ole2, text };

using bytes = std::span<const unsigned char>;

// The family of a file by its first bytes (libmagic over the signatures of
// the checked families), and when they name none, by the extension of name.
// head needs no more than the first 64 bytes.
family identify(bytes head, const QString& name);

// The family an extension names (case-insensitive), none when unknown.
family familyofextension(const QString& name);

// The check of one family over the whole contents; unchecked for none.
verdict check(family f, bytes data);

// False when head, the first bytes of a file (16 or all there are), cannot
// begin a file of that family: its check fails whatever follows. Lets a
// caller reject junk without reading the whole file.
bool canbegin(family f, bytes head);

// identify + check.
inline verdict verdictof(bytes data, const QString& name) { return check(identify(data, name), data); }

// One checker per family: true when the bytes are whole by that format's rules.
bool checkjpeg(bytes data);
bool checkpng(bytes data);
bool checkgif(bytes data);
bool checkbmp(bytes data);
bool checkzip(bytes data);
bool checkgzip(bytes data);
bool checkpdf(bytes data);
bool checkriff(bytes data);
bool checkmp4(bytes data);
bool checkmp3(bytes data);
bool checkole2(bytes data);
bool checktext(bytes data);

}  // namespace verify
