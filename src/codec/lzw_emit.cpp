// Code emission (see lzw_emit.h).
#include "codec/lzw_emit.h"

#include "codec/lzw_dict.h"

bool lzw_change_width(LzwContext* ctx) {
    if (ctx->out_bits > 0) {
        ctx->out_bits = 0;
        if (!lzw_send(ctx, ctx->code_width)) return false;
    }
    if (ctx->clear_pending > 0) {
        ctx->code_width = LZW_INIT_BITS;
        ctx->max_code = (1 << LZW_INIT_BITS) - 1;
        ctx->clear_pending = 0;
    } else {
        ctx->code_width += 1;
        ctx->max_code = lzw_width_max_code(ctx);
    }
    return true;
}

bool lzw_put_end(LzwContext* ctx) {
    const int n_bytes = (ctx->out_bits + 7) >> 3;
    ctx->out_bits = 0;
    return n_bytes == 0 || lzw_send(ctx, n_bytes);
}

void lzw_check_ratio(LzwContext* ctx) {
    ctx->checkpoint = ctx->bytes_in + RATIO_GAP;
    int32_t r;
    if (ctx->bytes_in <= 0x7FFFFF) {
        r = (ctx->bytes_in << 8) / ctx->bytes_out;
    } else {
        const int32_t d = ctx->bytes_out >> 8;
        r = d == 0 ? 0x7FFFFFFF : ctx->bytes_in / d;
    }
    if (r > ctx->ratio) {
        ctx->ratio = r;
        return;
    }
    ctx->ratio = 0;
    lzw_clear_dictionary(ctx);
    ctx->next_code = LZW_CLEAR_CODE + 1;
    ctx->clear_pending = 1;
    lzw_put_code(ctx, LZW_CLEAR_CODE);  // a refusal here is not reported
}

bool lzw_write_header(LzwContext* ctx) {
    return lzw_put_byte(0x1F, ctx) && lzw_put_byte(0x9D, ctx) &&
           lzw_put_byte(ctx->block_mode | ctx->max_bits, ctx);
}
