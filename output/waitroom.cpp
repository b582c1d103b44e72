#include "output/waitroom.h"

HELDFILE HELDFILE::keep(const FILEPARM& file, const DIRSLOTS& around, const QString& subdir,
                        std::optional<SAVERECORD> record, verify::family kind)
{
    HELDFILE h{file, {}, subdir, std::move(record), kind};
    if (around.raw && around.entry < around.count) {
        const std::uint64_t from = around.entry >= 20 ? around.entry - 20 : 0;
        h.raw.assign(around.raw + from * 32, around.raw + (around.entry + 1) * 32);
    }
    h.file.parent.reset();
    return h;
}
