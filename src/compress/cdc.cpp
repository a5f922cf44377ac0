#include "compress/cdc.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include <fmt/core.h>

#include "util/env.h"
#include "util/error.h"

namespace zd::compress {

const std::array<uint64_t, 256> TABLA_GEAR = {
    0x7f6c280beaa8e3e7, 0xe47119871cf9abe0, 0x35174a4158b8a0b7, 0x62ce1ffad85b1c36,
    0xec83972c97b6678e, 0x0cf91633be7328c1, 0x101f5e859d7dded0, 0x1fd897255030916d,
    0x87944c6b12870b0f, 0x36ca1465c9b326d9, 0x34bc346ca79ad6d4, 0x34e846ab6e48d679,
    0x9e2c31e94344f995, 0x6f44842fb582b526, 0x1ecb49baaf7839cc, 0xbfc9e24f766f3abf,
    0x9bb024aec20eab0a, 0xf0362594a0f934dc, 0x453c9a34720471b5, 0x176ecbc97de6b416,
    0x58f14bd839cebcfe, 0xc19903639183de07, 0xd754009e3d61b87b, 0xc691944865ec05cb,
    0xa678b4fb909fcf00, 0xa34d7a3fd891309e, 0x244dded04f81f57f, 0x6fb49b16a3664955,
    0x3ae6ded47f967087, 0xb3f7d04fc7a99da6, 0xe0bad7014fcf671d, 0x2d24efd06f4c9e93,
    0x0e44413209bbc36e, 0x0f64326e25e5af68, 0xc245cf6e4944be36, 0xd7cbf034a6ab7aca,
    0x54ceeaebb71fdebf, 0xfee0039301d5aec2, 0x71b289a50d5bf51f, 0x687bfa61a575e535,
    0x55bcae93409ee3bf, 0xf7f520ac3ea0d1b8, 0x9f2acf8b28e8fe1b, 0xfcd02b48890bc927,
    0x68700f83cd257775, 0x84c52cd3acba40db, 0xeef13d26a85c629a, 0x4f3dbf7307f93cdf,
    0x094408770aee1966, 0x70ab445a25f95cd4, 0x99d9c81af2a51b6d, 0xe75eb9b4995d2a1b,
    0xc59cfe06ef78768f, 0x6db4ff7bb92ec5a2, 0x8d2285fdbc0bb0a9, 0xcc166f0d689aad88,
    0x5ac02f39f4f7fad3, 0xe091d4f1c676c1e6, 0x3c75330a4bbc95e5, 0x3e3217ed49ae358e,
    0x3f7c5da6aacbca65, 0x867d41aee54264b1, 0x366d45337cf7ec38, 0xe607081cc1b20de0,
    0x351f3316f6f811fb, 0xfeffd84f991eff18, 0x8b88fbda97bc04e6, 0x0924d46247d0856f,
    0x09cd020658999fa5, 0x0dd051f08a0fe5da, 0x3f81b4838d7bcc91, 0xc44ebca6d3903f48,
    0xb7cf29bae7bdcd36, 0x59120ce9b2ff3b2c, 0x513856a025858e5a, 0x4e32e07812ea53c6,
    0x21dbbda67fe1b6e1, 0x0fbe57e12637edcc, 0x2b4bdfb376177117, 0xc43a3c188f6ffa35,
    0x3de36a3c8bcb0881, 0x356370ae5cae9ed0, 0xf75ba69917b077ed, 0xa8401b995ffb4c42,
    0x0668a2392eabea5a, 0xa3ccce6d5d5b6b0e, 0xf46e1fb800eade58, 0x6cc20eb52a5f9de4,
    0x281cca0893eedbdf, 0x77b427cd815411a8, 0xeb3a96076a71d38b, 0xa7f60afea778b2ec,
    0x7d3fa92363557889, 0x6c8d4d7affacd038, 0x69fca06b74508798, 0xa6f361a92744c097,
    0x58c5b19a25848cd6, 0xdeaada2c01e8704f, 0x8daedf598b20536f, 0x9d2a917faa5d2809,
    0x1363a0790770b019, 0xd48e2734d1237739, 0xc89d511d2195df97, 0x73f002622683f1e8,
    0x0f25462024198c0b, 0xa6e22741e815ddd3, 0xff21a4661058e2a8, 0xb379908a24cff96d,
    0x8b1dfd10c7eb9ddf, 0x009a4457d570dd24, 0x7788e517d675f59e, 0xfc31ffc9a9fdb9f5,
    0x7488be9ecd729fc6, 0xc0602e9069454b79, 0x4bc624abcef43faf, 0x79d2bce81bb3dc10,
    0x6fd1990223a1bfa8, 0x21d1ce34d5d216d7, 0xec686e6a4452e73a, 0x393ddda4406ccc74,
    0x0d8953a19b8988ec, 0x13908d934a3b20fd, 0x401dadec1580c9fc, 0x2a4e064eda78376f,
    0x4e256ce226aefcc1, 0x56b177eef434b178, 0x18c95585beeb861a, 0x1125eef550989796,
    0xc97dafb2889c8339, 0xaeca5cc8f234547f, 0x2c8f2c9ee264c317, 0x5ae974d780502f51,
    0xb3331eb6c82f7b4f, 0xc93c8e2c6dfa1679, 0xbb60e342b1415c15, 0xee463becb82c7bed,
    0x9e0811ce158b785a, 0xfcbab833f421382a, 0xd49ec63edd3630da, 0x5307f9957f6d2a3b,
    0xd4c56be816c01eaf, 0x4a8ff39ddf9bd552, 0xd4694009948bf678, 0xb96b155d24b87f94,
    0xbb244e916bca6a6b, 0x2ccc62bbfe34047f, 0xf75523caa32893b7, 0x0d0bf339709ccf50,
    0x7aab7dd8f93822ce, 0x914e470c408d210b, 0x781b2e49ec771989, 0x7228b551eaacb5fa,
    0x7e6364c3d0c9d211, 0xc310565a94b4e5f5, 0xadc392f132e6517e, 0xc1abc9b4a780025c,
    0x76103af604341558, 0xbea4a8a031762b72, 0xb4401c335eb85ba4, 0x40bec1c519414213,
    0x45e6b8eaa3cf2457, 0xa54ad8dcfe754fdf, 0x349503df1621b280, 0xec7510bbb5fb51e5,
    0x0b6f0e382a747e06, 0x5dbdca9fe60bd77a, 0x3143a9889d755e54, 0xfa5eaaf73902a1e8,
    0xb5c7ca877eb3deab, 0x5a3945c340c073d6, 0x2d65dfcf7545c6b1, 0x85bb0d1480f0c17c,
    0xb9b0b5ed7212fffe, 0xad63e6f5b8b4e581, 0x869fefd97a58cc0a, 0x69b4872f393a3f12,
    0x7d331e83f1fdcfec, 0x5224c75dae764f73, 0x13b66ed87f0d1f2d, 0xa826e55973f76e53,
    0xd50772b3399f744f, 0x54701adaa476b967, 0x6614afb10016edd5, 0x675c3e82908b154e,
    0x09d8dfc7f40e90e4, 0xd00d35b8c3d434c5, 0xc564da15da1e0dec, 0x05b342bd227acaf7,
    0x3340109b5a9662a2, 0x8b4dd6e14821a6e7, 0x89c7b013ced0bc6a, 0xfb8ed784c5cb4792,
    0x467b1f653d59759d, 0x0aa388258fa10036, 0x94146e5313948fb6, 0x799e32f4d7348b29,
    0xec3becf87223087f, 0xc6757d6c0854b1af, 0xf237eb257545930c, 0xc9405a526afe5b2a,
    0xc5c97693e0e02d1c, 0x93f8c988ae052a46, 0x143d7946787f7192, 0x802997e65283abf1,
    0x5daa6069aa7e70e6, 0x269c4ad8c3a47587, 0x168af7146cd6bcac, 0x1c0fe610d39fbad5,
    0x2e3ba282c34c90e0, 0x00e222fae47031c1, 0x4d241391084881e2, 0xf332ce7578862861,
    0x98e774454e131c71, 0x72fb45b02fd40609, 0xafedae5c22c10c45, 0xd6b270ce75753f1d,
    0x4ba2cf7b7775b223, 0x67c4efb189bdb187, 0x8db0dcdfa5ba4b24, 0x6b770436d06376b2,
    0xf1ebaa1672765cdf, 0xe88027acc7d267a6, 0x45fd1849f3e2eae9, 0x7bca45bcaf1ab57c,
    0x64e5a773f86a5f16, 0x4e37521152bf8e28, 0x8051ceced8547b34, 0xb324bad6e2189ec2,
    0x10872e1e64dd5f7f, 0x222fe21970aeda01, 0xf4f970e6fd5327f5, 0x1374652fb96adcfa,
    0xfca3ff4608b677c3, 0xd21567a9701a8bec, 0x6c6f6372fed3c5fb, 0xfca290112e007cb0,
    0x4688f31023475049, 0x1d77532fe18eeca9, 0xe27c8a87f603fb30, 0x2a94204167fb30c6,
    0xc68fcf6713ae3727, 0xe98c0a8875f24289, 0x14701d8e1940244c, 0xadd8feff3ffa3704,
    0x9d07e4e37d3c826a, 0x19fc7504277721ee, 0x06606591fe96742d, 0xf72892105179f385,
    0x7ebe6ea193934122, 0xa2d830ea82006f20, 0x715b5f9c9507a7fe, 0x23d1aed137599731,
    0x28737c43e10ac85f, 0xabb00c80296f2a0f, 0x380966d3b880979b, 0x7b3aedae0dcf1074,
};

namespace {

constexpr size_t kReadStep = 262'144;

// A positive strict decimal, or the default.
uint64_t env_size(const std::string& name, uint64_t fallback) {
    auto v = env_u64(name.c_str());
    return v && *v != 0 ? *v : fallback;
}

}  // namespace

CdcParams params_from_env(std::string_view prefix, const CdcParams& defaults, bool announce,
                          std::FILE* out) {
    const std::string p(prefix);
    const uint64_t min = env_size(p + "_MIN", defaults.min);
    const uint64_t avg = env_size(p + "_AVG", defaults.avg);
    const uint64_t max = env_size(p + "_MAX", defaults.max);
    if (!(min < avg && avg <= max)) {
        fmt::print(out, "aviso: {}_* incoherentes ({}/{}/{}); se usan los de siempre\n", p, min,
                   avg, max);
        return defaults;
    }
    if (announce && (min != defaults.min || avg != defaults.avg || max != defaults.max))
        fmt::print(out, "[cdc] min={} avg={} max={} (por {}_*)\n", min, avg, max, p);
    return params_with_masks(min, avg, max);
}

const CdcParams& cdc_params() {
    static const CdcParams p = params_from_env("ZD_CDC", kCdcDefaults, true);
    return p;
}

const CdcParams& cdc_params_plano() {
    static const CdcParams p = params_from_env("ZD_CDC_PLANO", kCdcPlanoDefaults, false);
    return p;
}

size_t corte(const uint8_t* d, size_t n, const CdcParams& p) {
    if (n <= p.min) return n;
    const size_t lim = std::min<uint64_t>(n, p.max);
    const size_t a = std::min<uint64_t>(p.avg, lim);
    // The first min bytes never decide a cut, so they are not even hashed.
    uint64_t h = 0;
    size_t i = p.min;
    for (; i < a; ++i) {
        h = (h << 1) + TABLA_GEAR[d[i]];
        if ((h & p.mask_s) == 0) return i + 1;
    }
    // Past avg the looser mask makes a cut likelier; h carries on unreset.
    for (; i < lim; ++i) {
        h = (h << 1) + TABLA_GEAR[d[i]];
        if ((h & p.mask_l) == 0) return i + 1;
    }
    return lim;
}

std::optional<ByteView> MemoryChunker::next() {
    if (pos_ >= data_.size()) return std::nullopt;
    const size_t len = corte(data_.data() + pos_, data_.size() - pos_, p_);
    ByteView chunk = data_.subspan(pos_, len);
    pos_ += len;
    return chunk;
}

TrozosFlujo::TrozosFlujo(int fd, const CdcParams& p, Origen origen)
    : fd_(fd), origen_(origen), p_(p) {
    if (origen_ == Origen::entrada_estandar) reserve(3 * p_.max);
}

void TrozosFlujo::reinicia(int fd) {
    fd_ = fd;
    filled_ = 0;
    start_ = 0;
    eof_ = false;
}

void TrozosFlujo::reserve(size_t capacity) {
    if (capacity <= capacity_) return;
    // Grown without zeroing: every byte is written by read() before it is looked at.
    auto bigger = std::make_unique_for_overwrite<uint8_t[]>(capacity);
    if (filled_) std::memcpy(bigger.get(), buf_.get(), filled_);
    buf_ = std::move(bigger);
    capacity_ = capacity;
}

void TrozosFlujo::refill() {
    while (!eof_ && filled_ - start_ < 2 * p_.max) {
        if (filled_ + kReadStep > capacity_) reserve(std::max(capacity_ * 2, filled_ + kReadStep));
        ssize_t n;
        do {
            n = ::read(fd_, buf_.get() + filled_, kReadStep);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            const int err = errno;
            if (origen_ == Origen::entrada_estandar && err == EBADF) {
                eof_ = true;
                break;
            }
            throw Error::sys(err);
        }
        filled_ += size_t(n);
        if (n == 0) eof_ = true;
    }
}

std::optional<ByteView> TrozosFlujo::next_view() {
    // Compact rarely: moving the tail costs a copy, so let 4*max pile up first.
    // Done here rather than after the cut, so the last view stays valid until now.
    if (start_ > 4 * p_.max) {
        const size_t rest = filled_ - start_;
        std::memmove(buf_.get(), buf_.get() + start_, rest);
        filled_ = rest;
        start_ = 0;
    }
    refill();
    if (start_ == filled_) return std::nullopt;
    const uint8_t* at = buf_.get() + start_;
    const size_t len = corte(at, filled_ - start_, p_);
    start_ += len;
    return ByteView(at, len);
}

std::optional<Bytes> TrozosFlujo::next() {
    auto view = next_view();
    if (!view) return std::nullopt;
    return Bytes(view->begin(), view->end());
}

}  // namespace zd::compress
