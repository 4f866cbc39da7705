// What the encoder, the decoder and the extraction driver share about the
// compressed format of "-lh4-" to "-lh7-": the alphabets, the per-method
// parameters, and the sink through which they report progress.
#pragma once
#include <cstdint>

namespace lzh {

// The three codes of a block. c: 0-255 literal bytes, 256 + (length - 3)
// for match lengths 3 to 256. t: codes the c code lengths (0-2 zero runs,
// k + 2 a length k). p: the position class of a match distance.
constexpr int NC = 510;
constexpr int NT = 19;
constexpr int TBIT = 5;     // width of the t list's count
constexpr int CBIT = 9;     // width of the c list's count
constexpr int NPMAX = 17;   // largest p alphabet (-lh7-)
constexpr int MAXMATCH = 256;
constexpr int THRESHOLD = 3; // shortest match
constexpr int MAXCODELEN = 16;

// A method's window and p alphabet. The p alphabet has one class per
// significant bit count of a distance - 1 (plus class 0), and its list's
// count field is 4 bits wide while 14 classes fit, 5 bits after that.
struct Params {
    int method;   // method number: 4 to 7
    int dicbit;   // window bits
    int np;       // p symbols
    int pbit;     // width of the p list's count
};

constexpr Params kParams[] = {
    {4, 12, 14, 4},
    {5, 13, 14, 4},
    {6, 15, 16, 5},
    {7, 16, 17, 5},
};

// The parameters of method 4 to 7; nullptr for any other method.
constexpr const Params *params_of(int method)
{
    for (const Params &p : kParams)
        if (p.method == method)
            return &p;
    return nullptr;
}

// Where the codecs report the input bytes they have consumed (packing) or
// the bytes they have produced (unpacking). `fn` may be null.
struct Progress {
    void (*fn)(void *user, uint64_t n) = nullptr;
    void *user = nullptr;
    void add(uint64_t n) const
    {
        if (fn)
            fn(user, n);
    }
};

} // namespace lzh
