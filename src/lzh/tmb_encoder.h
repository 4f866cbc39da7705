// The encoder's context: everything the encoder changes while it packs, so
// any number of threads may pack at once, each with a context of its own.
// A context keeps its buffers from one file to the next.
#pragma once

struct EncoderCtx;                       // opaque to callers

// A context with the buffers of the default encoder (about 650 KB); the
// buffers of -9 come with its first use, grow with the largest file it has
// packed up to 1 MB and stay (at most about 43 MB more). nullptr when
// memory is short.
EncoderCtx *tmb_encoder_new();
void tmb_encoder_free(EncoderCtx *ctx);
