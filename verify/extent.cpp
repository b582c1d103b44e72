// Where a file ends in bytes that go on past it: the same structure
// readers as the checks, each stopping where its format says the file
// stops.
#include "verify/formats.h"

namespace verify {

EXTENT extent(family f, bytes data, std::uint32_t clusterbytes, RECALL* recall)
{
    FINDING found;
    switch (f) {
    case family::jpeg:
        found = readjpeg(data, clusterbytes, recall);
        break;
    case family::png:
        found = readpng(data);
        break;
    case family::gif:
        found = readgif(data);
        break;
    case family::bmp:
        found = readbmp(data);
        break;
    case family::zip:
        found = zipextent(data);
        break;
    case family::gzip:
        found = readgzip(data, clusterbytes);
        break;
    case family::pdf:
        found = pdfextent(data);
        break;
    case family::riff:
        found = readriff(data);
        break;
    case family::mp4:
        found = mp4extent(data);
        break;
    case family::mp3:
        found = mp3extent(data);
        break;
    case family::ole2:
        found = ole2extent(data);
        break;
    case family::tiff:
        found = tiffextent(data);
        break;
    case family::raf:
        found = rafextent(data);
        break;
    case family::crw:
        found = ciffextent(data);
        break;
    case family::ts:
        found = tsextent(data, clusterbytes);
        break;
    case family::none:
    case family::text:
        break;
    }
    return EXTENT{found.v, found.end, found.want};
}

}  // namespace verify
