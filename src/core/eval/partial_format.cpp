#include "core/eval/partial_format.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <string>

#include "core/error.hpp"
#include "core/eval/matching.hpp"

namespace brandor::eval {
namespace {

constexpr std::array<std::uint8_t, 8> kMagic = {'B', 'R', 'N', 'D', 'P', 'R', 'T', 'L'};

// Order-sensitive 64-bit checksum, one 8-byte word at a time. Each step is a
// bijection of the running value, so changing any one word always changes the result.
std::uint64_t checksum(std::span<const std::uint8_t> bytes) {
    std::uint64_t h = 0x9e3779b97f4a7c15ull ^ bytes.size();
    auto step = [&h](std::uint64_t w) { h = std::rotl((h ^ w) * 0xff51afd7ed558ccdull, 29) + 0x2545f4914f6cdd1dull; };
    std::size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        std::uint64_t w = 0;
        for (int b = 7; b >= 0; --b) w = (w << 8) | bytes[i + static_cast<std::size_t>(b)];
        step(w);
    }
    std::uint64_t tail = 0;
    for (std::size_t b = bytes.size(); b-- > i;) tail = (tail << 8) | bytes[b];
    step(tail);
    return h;
}

class Writer {
public:
    void raw(std::span<const std::uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }
    void u8(std::uint8_t v) { out_.push_back(v); }
    void u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void u64(std::uint64_t v) {
        for (int i = 0; i < 8; ++i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void i64(std::int64_t v) { u64(static_cast<std::uint64_t>(v)); }
    // Seven bits a byte, lowest first; the high bit says another byte follows.
    void varint(std::uint32_t v) {
        while (v >= 0x80) {
            out_.push_back(static_cast<std::uint8_t>(v | 0x80));
            v >>= 7;
        }
        out_.push_back(static_cast<std::uint8_t>(v));
    }
    void f64(double v) { u64(std::bit_cast<std::uint64_t>(v)); }
    template <class T, class F>
    void column(const std::vector<T>& values, F put) {
        out_.reserve(out_.size() + values.size() * sizeof(T));
        for (const T& v : values) (this->*put)(v);
    }
    std::vector<std::uint8_t>& bytes() { return out_; }

private:
    std::vector<std::uint8_t> out_;
};

[[noreturn]] void malformed(const std::string& what) {
    throw value_error("partial result is malformed: " + what);
}

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> b) : b_(b) {}

    std::span<const std::uint8_t> take(std::size_t n, std::size_t width) {
        if (width != 0 && n > (b_.size() - at_) / width) malformed("it is shorter than its counts say");
        auto s = b_.subspan(at_, n * width);
        at_ += n * width;
        return s;
    }
    std::uint64_t u64() {
        auto s = take(1, 8);
        std::uint64_t v = 0;
        for (int i = 7; i >= 0; --i) v = (v << 8) | s[static_cast<std::size_t>(i)];
        return v;
    }
    std::uint32_t u32() { return static_cast<std::uint32_t>(read_le(take(1, 4), 0, 4)); }
    std::uint8_t u8() { return take(1, 1)[0]; }
    std::uint32_t varint() {
        std::uint64_t v = 0;
        for (int shift = 0; shift < 35; shift += 7) {
            const std::uint8_t b = u8();
            v |= std::uint64_t{b & 0x7fu} << shift;
            if (!(b & 0x80)) {
                if (v > UINT32_MAX) break;
                return static_cast<std::uint32_t>(v);
            }
        }
        malformed("a count is out of range");
    }
    std::vector<std::uint32_t> varints(std::uint64_t n) {
        std::vector<std::uint32_t> out(count(n));  // each takes at least one byte
        for (auto& v : out) v = varint();
        return out;
    }

    template <class T>
    std::vector<T> column(std::uint64_t n) {
        auto s = take(count(n), sizeof(T));
        std::vector<T> out(static_cast<std::size_t>(n));
        for (std::size_t i = 0; i < out.size(); ++i) {
            const std::uint64_t v = read_le(s, i * sizeof(T), sizeof(T));
            if constexpr (std::is_same_v<T, double>)
                out[i] = std::bit_cast<double>(v);
            else
                out[i] = static_cast<T>(v);
        }
        return out;
    }
    std::size_t count(std::uint64_t n) const {
        if (n > b_.size()) malformed("it is shorter than its counts say");
        return static_cast<std::size_t>(n);
    }
    std::size_t remaining() const { return b_.size() - at_; }

private:
    static std::uint64_t read_le(std::span<const std::uint8_t> s, std::size_t at, std::size_t width) {
        std::uint64_t v = 0;
        for (std::size_t i = width; i-- > 0;) v = (v << 8) | s[at + i];
        return v;
    }

    std::span<const std::uint8_t> b_;
    std::size_t at_ = 0;
};

// Four statuses per byte, two bits each, lowest bits first.
void pack_statuses(const std::vector<std::uint8_t>& status, Writer& w) {
    std::vector<std::uint8_t>& out = w.bytes();
    const std::size_t n = status.size();
    out.reserve(out.size() + (n + 3) / 4);
    for (std::size_t i = 0; i < n; i += 4) {
        std::uint8_t byte = 0;
        for (std::size_t j = 0; j < 4 && i + j < n; ++j) byte |= static_cast<std::uint8_t>(status[i + j] << (2 * j));
        out.push_back(byte);
    }
}

std::vector<std::uint8_t> unpack_statuses(std::span<const std::uint8_t> packed, std::size_t n) {
    std::vector<std::uint8_t> out(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t v = (packed[i / 4] >> (2 * (i % 4))) & 3;
        if (v > kFalsePositive) malformed("a detection status is out of range");
        out[i] = v;
    }
    return out;
}

std::uint64_t product(std::uint64_t a, std::uint64_t b) {
    if (a != 0 && b > UINT64_MAX / a) malformed("its counts overflow");
    return a * b;
}

}  // namespace

std::vector<std::uint8_t> encode_partial(const PartialRecord& rec) {
    const EvalParams& p = rec.params;
    Writer w;
    w.raw(kMagic);
    w.u32(kPartialFormatVersion);
    w.u8(static_cast<std::uint8_t>(p.iou_type));
    w.u8(p.use_cats);
    w.u8(p.use_area);
    w.u8(0);
    for (std::uint64_t n : {p.img_ids.size(), p.cat_ids.size(), p.iou_thrs.size(), p.rec_thrs.size(),
                            p.max_dets.size(), p.area_rng.size(), p.kpt_sigmas.size(), rec.slot_pairs.size(),
                            rec.pairs(), rec.scores.size(), rec.meta.size()})
        w.u64(n);
    w.column(p.img_ids, &Writer::i64);
    w.column(p.cat_ids, &Writer::i64);
    w.column(p.iou_thrs, &Writer::f64);
    w.column(p.rec_thrs, &Writer::f64);
    w.column(p.max_dets, &Writer::u64);
    for (const AreaRange& r : p.area_rng) {
        w.f64(r.lo);
        w.f64(r.hi);
    }
    w.column(p.kpt_sigmas, &Writer::f64);
    // The pair columns are small numbers: variable-length, image positions as
    // the step from the slot's previous pair.
    w.column(rec.slot_pairs, &Writer::u32);
    std::size_t at = 0;
    for (std::uint32_t c : rec.slot_pairs)
        for (std::uint32_t j = 0; j < c; ++j, ++at)
            w.varint(j == 0 ? rec.image[at] : rec.image[at] - rec.image[at - 1]);
    w.column(rec.dets, &Writer::varint);
    w.column(rec.npig, &Writer::varint);
    w.column(rec.scores, &Writer::f64);
    pack_statuses(rec.status, w);
    w.raw(rec.meta);
    w.u64(checksum(w.bytes()));
    return std::move(w.bytes());
}

PartialRecord decode_partial(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kMagic.size() + 4 || std::memcmp(bytes.data(), kMagic.data(), kMagic.size()) != 0)
        throw value_error("not a brandor partial result (the bytes do not start with its tag)");
    Reader r(bytes);
    r.take(kMagic.size(), 1);
    const std::uint32_t version = r.u32();
    if (version != kPartialFormatVersion)
        throw value_error("partial result has format version " + std::to_string(version) +
                          "; this brandor reads version " + std::to_string(kPartialFormatVersion));
    if (bytes.size() < kMagic.size() + 4 + 8) malformed("it is shorter than its counts say");
    const auto body = bytes.first(bytes.size() - 8);
    Reader tail(bytes.last(8));
    if (checksum(body) != tail.u64()) throw value_error("partial result is corrupted (its checksum does not match)");
    r = Reader(body);
    r.take(kMagic.size() + 4, 1);

    PartialRecord rec;
    EvalParams& p = rec.params;
    const std::uint8_t kind = r.u8();
    if (kind > static_cast<std::uint8_t>(IouType::Boundary)) malformed("the evaluation kind is unknown");
    p.iou_type = static_cast<IouType>(kind);
    p.use_cats = r.u8() != 0;
    p.use_area = r.u8() != 0;
    r.u8();
    std::uint64_t n[11];
    for (auto& v : n) v = r.u64();
    const auto [n_img, n_cat, T, R, M, A, n_sigma, K, n_pairs, n_dets, n_meta] =
        std::array<std::uint64_t, 11>{n[0], n[1], n[2], n[3], n[4], n[5], n[6], n[7], n[8], n[9], n[10]};
    p.img_ids = r.column<std::int64_t>(n_img);
    p.cat_ids = r.column<std::int64_t>(n_cat);
    p.iou_thrs = r.column<double>(T);
    p.rec_thrs = r.column<double>(R);
    p.max_dets = r.column<std::uint64_t>(M);
    const std::vector<double> ranges = r.column<double>(product(A, 2));
    for (std::size_t a = 0; a < A; ++a) p.area_rng.push_back(AreaRange{ranges[2 * a], ranges[2 * a + 1]});
    p.kpt_sigmas = r.column<double>(n_sigma);
    rec.slot_pairs = r.column<std::uint32_t>(K);
    rec.image = r.varints(n_pairs);  // steps, made positions below
    rec.dets = r.varints(n_pairs);
    rec.npig = r.varints(product(n_pairs, A));
    rec.scores = r.column<double>(n_dets);
    const std::uint64_t n_status = product(product(n_dets, A), T);
    // Taking the packed bytes bounds the count: four statuses per byte.
    const auto packed = r.take(r.count(n_status / 4 + (n_status % 4 != 0)), 1);
    rec.status = unpack_statuses(packed, static_cast<std::size_t>(n_status));
    const auto meta = r.take(r.count(n_meta), 1);
    rec.meta.assign(meta.begin(), meta.end());
    if (r.remaining() != 0) malformed("it is longer than its counts say");

    // The columns must describe a record a shard could have produced.
    if (K != p.category_slots()) malformed("the number of category slots does not match the categories");
    for (std::size_t i = 1; i < p.img_ids.size(); ++i)
        if (p.img_ids[i - 1] >= p.img_ids[i]) malformed("its image ids are not in ascending order");
    std::uint64_t pairs = 0, dets = 0;
    for (std::uint32_t c : rec.slot_pairs) pairs += c;
    if (pairs != n_pairs) malformed("the pairs per category slot do not add up");
    std::size_t at = 0;
    for (std::uint32_t c : rec.slot_pairs)
        for (std::size_t j = 0; j < c; ++j, ++at) {
            if (j > 0) {
                if (rec.image[at] == 0) malformed("an image position is out of order");
                rec.image[at] += rec.image[at - 1];
                if (rec.image[at] <= rec.image[at - 1]) malformed("an image position is out of range");
            }
            if (rec.image[at] >= n_img) malformed("an image position is out of range");
            dets += rec.dets[at];
        }
    if (dets != n_dets) malformed("the detections per pair do not add up");
    return rec;
}

}  // namespace brandor::eval
