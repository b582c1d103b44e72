// JPEG: a full decode by libjpeg-turbo.
#include "verify/verify.h"

#include <csetjmp>
#include <cstdio>
#include <jpeglib.h>

namespace verify {

namespace {

struct STRICTERROR {
    jpeg_error_mgr mgr;
    std::jmp_buf back;
    bool warned = false;
};

[[noreturn]] void fail(j_common_ptr info)
{
    std::longjmp(reinterpret_cast<STRICTERROR*>(info->err)->back, 1);
}

// libjpeg reports corrupt entropy data, a premature end and stray bytes
// before a marker as warnings (level -1) and goes on; any of them fails.
void note(j_common_ptr info, int level)
{
    if (level < 0)
        reinterpret_cast<STRICTERROR*>(info->err)->warned = true;
}

void quiet(j_common_ptr) {}

}  // namespace

// Proves: every marker, table and scan decodes without a warning through the
// EOI, and whatever follows the EOI is padding (0x00 or 0xFF bytes).
bool checkjpeg(bytes data)
{
    if (data.size() < 4 || data[0] != 0xFF || data[1] != 0xD8)
        return false;
    jpeg_decompress_struct info;
    STRICTERROR error;
    info.err = jpeg_std_error(&error.mgr);
    error.mgr.error_exit = fail;
    error.mgr.emit_message = note;
    error.mgr.output_message = quiet;
    // Kept out of the locals that setjmp could leave stale.
    volatile bool ok = false;
    jpeg_create_decompress(&info);
    // Without backing store, an image whose header asks for more than this
    // fails (damaged) instead of taking the machine's memory.
    info.mem->max_memory_to_use = 512L << 20;
    if (setjmp(error.back) == 0) {
        jpeg_mem_src(&info, data.data(), static_cast<unsigned long>(data.size()));
        if (jpeg_read_header(&info, TRUE) == JPEG_HEADER_OK) {
            // An eighth of the size: every coefficient is still entropy
            // decoded (which is where damage shows), the inverse transform
            // is the cheap one.
            info.scale_num = 1;
            info.scale_denom = 8;
            info.dct_method = JDCT_IFAST;
            info.do_fancy_upsampling = FALSE;
            info.do_block_smoothing = FALSE;
            jpeg_start_decompress(&info);
            const JDIMENSION rowbytes = info.output_width * JDIMENSION(info.output_components);
            JSAMPARRAY row = (*info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE,
                                                      rowbytes == 0 ? 1 : rowbytes, 1);
            while (info.output_scanline < info.output_height)
                jpeg_read_scanlines(&info, row, 1);
            jpeg_finish_decompress(&info);
            bool padding = true;
            const unsigned char* rest = info.src->next_input_byte;
            for (std::size_t i = 0; i < info.src->bytes_in_buffer; ++i)
                padding = padding && (rest[i] == 0x00 || rest[i] == 0xFF);
            ok = padding && !error.warned;
        }
    }
    jpeg_destroy_decompress(&info);
    return ok;
}

}  // namespace verify
