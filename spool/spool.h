// The spool: bytes the sweep reads that a later phase of the run is
// expected to read again (a lost folder's files, carving's judging) are
// kept as the sweep passes them in a scratch file on the output disk, and
// later reads of the source that fall on them are served from there. It
// sits under the reader (platform::READTHROUGH), so every phase sees the
// same bytes: only where they come from changes, and the card is read once.
#pragma once

#include "platform/volumesource.h"
#include "sweep/sweep.h"

#include <QString>
#include <cstdint>
#include <map>
#include <vector>

namespace spool {

struct SPOOLCOUNTS {
    std::uint64_t spooled = 0;  // bytes written to the scratch file
    std::uint64_t served = 0;   // bytes of later reads served from it
    std::uint64_t refused = 0;  // wanted bytes the budget (or a cap) left on the card
    bool givenback = false;     // the scratch file went early: the output disk needed its room
};

class SPOOL : public SWEEPVISITOR, public platform::READTHROUGH {
public:
    // Wanted ranges and kept extents at most: past them wants are refused.
    static constexpr std::size_t maxwants = std::size_t(1) << 18;
    static constexpr std::size_t maxextents = std::size_t(1) << 19;

    // For the source behind handle (bytes long), its scratch file in dir,
    // keeping at most half of dir's free space now and at most the
    // source's size (less when budget says so). Reads through handle are
    // served from it until it goes.
    // imaging: an image of the source is being made, which holds what the
    // source was asked for, so a hole is not served as zeros.
    SPOOL(platform::volhandle handle, std::uint64_t bytes, const QString& dir, std::uint64_t budget = ~std::uint64_t(0),
          bool imaging = false);
    ~SPOOL() override;
    SPOOL(const SPOOL&) = delete;
    SPOOL& operator=(const SPOOL&) = delete;

    // No scratch file could be made: it keeps nothing.
    bool open() const { return scratch >= 0; }

    // Bytes [from, to) of the source will be read again: kept when the
    // sweep passes them (the part it has passed already is not).
    void want(std::uint64_t from, std::uint64_t to);

    // Added after every visitor that wants: takes what is wanted of each block.
    void block(const SWEEPBLOCK& b) override;
    void hole(std::uint64_t at, std::uint64_t n) override;
    std::uint64_t serve(std::uint64_t pos, std::uint64_t len, unsigned char* buf, std::uint64_t* unheld) override;

    // The output disk needs the room: the scratch file goes now, and the
    // card is read again for what it held. Nothing more is kept.
    void giveback();
    // Bytes the scratch file holds now.
    std::uint64_t holding() const { return scratch >= 0 ? tally.spooled : 0; }

    const SPOOLCOUNTS& counts() const { return tally; }
    std::uint64_t budget() const { return room; }

private:
    struct EXTENT {
        std::uint64_t from, to, at;  // source bytes [from, to) at scratch byte at
        bool zeros = false;          // a hole of a sparse image: zeros, nothing in the scratch file
    };
    // A hole [from, to): zeros, kept without a write.
    void keepzeros(std::uint64_t from, std::uint64_t to);
    // Writes [from, to) of b into the scratch file, read whole.
    void keep(const SWEEPBLOCK& b, std::uint64_t from, std::uint64_t to);
    // The wants below end are behind the sweep now.
    void passed(std::uint64_t end);
    void stop();

    platform::volhandle handle;
    std::intptr_t scratch = -1;
    std::uint64_t room = 0;     // bytes it may keep
    bool keepholes = true;      // no image is being made
    std::uint64_t swept = 0;    // the sweep has passed every byte below it
    std::map<std::uint64_t, std::uint64_t> wants;  // from -> to, merged, all at or past swept
    std::vector<EXTENT> kept;   // ascending, merged
    SPOOLCOUNTS tally;
};

}  // namespace spool
