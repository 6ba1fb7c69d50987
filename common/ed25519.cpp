#include "common/ed25519.h"

#include <algorithm>
#include <cstring>

namespace ed25519 {

namespace {

// The round constants and the initial state: the first 64 bits of the fractional parts of the
// cube roots of the first 80 primes and of the square roots of the first 8.
constexpr uint64_t kRound[80] = {
    0x428a2f98d728ae22ULL, 0x7137449123ef65cdULL, 0xb5c0fbcfec4d3b2fULL, 0xe9b5dba58189dbbcULL,
    0x3956c25bf348b538ULL, 0x59f111f1b605d019ULL, 0x923f82a4af194f9bULL, 0xab1c5ed5da6d8118ULL,
    0xd807aa98a3030242ULL, 0x12835b0145706fbeULL, 0x243185be4ee4b28cULL, 0x550c7dc3d5ffb4e2ULL,
    0x72be5d74f27b896fULL, 0x80deb1fe3b1696b1ULL, 0x9bdc06a725c71235ULL, 0xc19bf174cf692694ULL,
    0xe49b69c19ef14ad2ULL, 0xefbe4786384f25e3ULL, 0x0fc19dc68b8cd5b5ULL, 0x240ca1cc77ac9c65ULL,
    0x2de92c6f592b0275ULL, 0x4a7484aa6ea6e483ULL, 0x5cb0a9dcbd41fbd4ULL, 0x76f988da831153b5ULL,
    0x983e5152ee66dfabULL, 0xa831c66d2db43210ULL, 0xb00327c898fb213fULL, 0xbf597fc7beef0ee4ULL,
    0xc6e00bf33da88fc2ULL, 0xd5a79147930aa725ULL, 0x06ca6351e003826fULL, 0x142929670a0e6e70ULL,
    0x27b70a8546d22ffcULL, 0x2e1b21385c26c926ULL, 0x4d2c6dfc5ac42aedULL, 0x53380d139d95b3dfULL,
    0x650a73548baf63deULL, 0x766a0abb3c77b2a8ULL, 0x81c2c92e47edaee6ULL, 0x92722c851482353bULL,
    0xa2bfe8a14cf10364ULL, 0xa81a664bbc423001ULL, 0xc24b8b70d0f89791ULL, 0xc76c51a30654be30ULL,
    0xd192e819d6ef5218ULL, 0xd69906245565a910ULL, 0xf40e35855771202aULL, 0x106aa07032bbd1b8ULL,
    0x19a4c116b8d2d0c8ULL, 0x1e376c085141ab53ULL, 0x2748774cdf8eeb99ULL, 0x34b0bcb5e19b48a8ULL,
    0x391c0cb3c5c95a63ULL, 0x4ed8aa4ae3418acbULL, 0x5b9cca4f7763e373ULL, 0x682e6ff3d6b2b8a3ULL,
    0x748f82ee5defb2fcULL, 0x78a5636f43172f60ULL, 0x84c87814a1f0ab72ULL, 0x8cc702081a6439ecULL,
    0x90befffa23631e28ULL, 0xa4506cebde82bde9ULL, 0xbef9a3f7b2c67915ULL, 0xc67178f2e372532bULL,
    0xca273eceea26619cULL, 0xd186b8c721c0c207ULL, 0xeada7dd6cde0eb1eULL, 0xf57d4f7fee6ed178ULL,
    0x06f067aa72176fbaULL, 0x0a637dc5a2c898a6ULL, 0x113f9804bef90daeULL, 0x1b710b35131c471bULL,
    0x28db77f523047d84ULL, 0x32caab7b40c72493ULL, 0x3c9ebe0a15c9bebcULL, 0x431d67c49c100d4cULL,
    0x4cc5d4becb3e42b6ULL, 0x597f299cfc657e2aULL, 0x5fcb6fab3ad6faecULL, 0x6c44198c4a475817ULL,
};
constexpr std::array<uint64_t, 8> kInitial = {
    0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL, 0xa54ff53a5f1d36f1ULL,
    0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL, 0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL,
};

constexpr uint64_t Rotr(uint64_t x, int n) { return (x >> n) | (x << (64 - n)); }

uint64_t LoadBigEndian(const uint8_t* p) {
  uint64_t x = 0;
  for (int i = 0; i < 8; ++i) x = (x << 8) | p[i];
  return x;
}

void StoreBigEndian(uint64_t x, uint8_t* p) {
  for (int i = 7; i >= 0; --i, x >>= 8) p[i] = static_cast<uint8_t>(x);
}

}  // namespace

Sha512::Sha512() : m_state(kInitial) {}

void Sha512::Compress(const uint8_t* block) {
  uint64_t w[80];
  for (int i = 0; i < 16; ++i) w[i] = LoadBigEndian(block + 8 * i);
  for (int i = 16; i < 80; ++i) {
    const uint64_t s0 = Rotr(w[i - 15], 1) ^ Rotr(w[i - 15], 8) ^ (w[i - 15] >> 7);
    const uint64_t s1 = Rotr(w[i - 2], 19) ^ Rotr(w[i - 2], 61) ^ (w[i - 2] >> 6);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  uint64_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3];
  uint64_t e = m_state[4], f = m_state[5], g = m_state[6], h = m_state[7];
  for (int i = 0; i < 80; ++i) {
    const uint64_t t1 =
        h + (Rotr(e, 14) ^ Rotr(e, 18) ^ Rotr(e, 41)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
    const uint64_t t2 = (Rotr(a, 28) ^ Rotr(a, 34) ^ Rotr(a, 39)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  m_state[0] += a, m_state[1] += b, m_state[2] += c, m_state[3] += d;
  m_state[4] += e, m_state[5] += f, m_state[6] += g, m_state[7] += h;
}

void Sha512::Update(const uint8_t* data, std::size_t length) {
  m_total += length;
  while (length > 0) {
    if (m_filled == 0 && length >= m_block.size()) {
      Compress(data);
      data += m_block.size(), length -= m_block.size();
      continue;
    }
    const std::size_t take = std::min(length, m_block.size() - m_filled);
    std::memcpy(m_block.data() + m_filled, data, take);
    m_filled += take, data += take, length -= take;
    if (m_filled == m_block.size()) {
      Compress(m_block.data());
      m_filled = 0;
    }
  }
}

std::array<uint8_t, 64> Sha512::Finish() {
  m_block[m_filled++] = 0x80;
  // The length takes the last 16 bytes of a block; a block too full for it is followed by one.
  if (m_filled > m_block.size() - 16) {
    std::memset(m_block.data() + m_filled, 0, m_block.size() - m_filled);
    Compress(m_block.data());
    m_filled = 0;
  }
  std::memset(m_block.data() + m_filled, 0, m_block.size() - m_filled);
  StoreBigEndian(m_total >> 61, m_block.data() + 112);
  StoreBigEndian(m_total * 8, m_block.data() + 120);
  Compress(m_block.data());
  std::array<uint8_t, 64> digest;
  for (int i = 0; i < 8; ++i) StoreBigEndian(m_state[i], digest.data() + 8 * i);
  return digest;
}

namespace {

// An element of the field of p = 2^255 - 19 as 16 signed limbs of 16 bits: the products of two
// limbs and their sums stay far inside 64 bits, so no compiler needs a 128-bit type for them.
struct Fe {
  int64_t v[16] = {};
};

Fe FeFromInt(int64_t x) {
  Fe r;
  r.v[0] = x;
  return r;
}

// Moves each limb's excess into the next; 2^256 is 38 modulo p, so the top limb's goes round.
void Carry(Fe& a) {
  for (int i = 0; i < 16; ++i) {
    const int64_t c = a.v[i] >> 16;
    a.v[i] -= c * 65536;
    if (i < 15) {
      a.v[i + 1] += c;
    } else {
      a.v[0] += 38 * c;
    }
  }
}

Fe Add(const Fe& a, const Fe& b) {
  Fe r;
  for (int i = 0; i < 16; ++i) r.v[i] = a.v[i] + b.v[i];
  return r;
}

Fe Sub(const Fe& a, const Fe& b) {
  Fe r;
  for (int i = 0; i < 16; ++i) r.v[i] = a.v[i] - b.v[i];
  return r;
}

Fe Mul(const Fe& a, const Fe& b) {
  int64_t t[31] = {};
  for (int i = 0; i < 16; ++i) {
    for (int j = 0; j < 16; ++j) t[i + j] += a.v[i] * b.v[j];
  }
  for (int i = 0; i < 15; ++i) t[i] += 38 * t[i + 16];
  Fe r;
  for (int i = 0; i < 16; ++i) r.v[i] = t[i];
  Carry(r);
  Carry(r);
  return r;
}

Fe Square(const Fe& a) { return Mul(a, a); }

// Exponents as 32 little-endian bytes: all 0xff but the lowest and the highest byte.
struct Exponent {
  uint8_t bytes[32];
  constexpr Exponent(uint8_t low, uint8_t high) : bytes{} {
    for (auto& b : bytes) b = 0xff;
    bytes[0] = low;
    bytes[31] = high;
  }
};
constexpr Exponent kPMinus2(0xeb, 0x7f);       // the inverse
constexpr Exponent kPMinus5Over8(0xfd, 0x0f);  // the square root's candidate
constexpr Exponent kPMinus1Over4(0xfb, 0x1f);  // 2 to it is a square root of -1

Fe Pow(const Fe& a, const Exponent& exponent) {
  Fe r = FeFromInt(1);
  for (int bit = 255; bit >= 0; --bit) {
    r = Square(r);
    if ((exponent.bytes[bit / 8] >> (bit % 8)) & 1) r = Mul(r, a);
  }
  return r;
}

Fe Invert(const Fe& a) { return Pow(a, kPMinus2); }

// The canonical little-endian encoding, below p.
void ToBytes(Fe a, uint8_t out[32]) {
  // Limbs between 0 and 2^16 - 1 make a value below 2^256, less than three times p.
  for (bool settled = false; !settled;) {
    Carry(a);
    settled = true;
    for (const int64_t limb : a.v) settled = settled && limb >= 0 && limb < 65536;
  }
  for (int round = 0; round < 2; ++round) {
    Fe m;
    int64_t borrow = 0;
    for (int i = 0; i < 16; ++i) {
      const int64_t limb = i == 0 ? 0xffed : i == 15 ? 0x7fff : 0xffff;
      m.v[i] = a.v[i] - limb - borrow;
      borrow = m.v[i] < 0 ? 1 : 0;
      m.v[i] += borrow * 65536;
    }
    if (borrow == 0) a = m;
  }
  for (int i = 0; i < 16; ++i) {
    out[2 * i] = static_cast<uint8_t>(a.v[i]);
    out[2 * i + 1] = static_cast<uint8_t>(a.v[i] >> 8);
  }
}

// The low 255 bits of the encoding; whether they are below p is the caller's to check.
Fe FromBytes(const uint8_t in[32]) {
  Fe r;
  for (int i = 0; i < 16; ++i) r.v[i] = in[2 * i] | (in[2 * i + 1] << 8);
  r.v[15] &= 0x7fff;
  return r;
}

bool Equal(const Fe& a, const Fe& b) {
  uint8_t x[32], y[32];
  ToBytes(a, x);
  ToBytes(b, y);
  return std::memcmp(x, y, 32) == 0;
}

bool IsOdd(const Fe& a) {
  uint8_t x[32];
  ToBytes(a, x);
  return (x[0] & 1) != 0;
}

// A point of the curve -x^2 + y^2 = 1 + d x^2 y^2 in extended coordinates: x = X/Z, y = Y/Z,
// x y = T/Z.
struct Point {
  Fe x, y, z, t;
};

struct Curve {
  Fe d, d2, rootOfMinusOne;
  Curve()
      : d(Mul(FeFromInt(-121665), Invert(FeFromInt(121666)))),
        d2(Add(d, d)),
        rootOfMinusOne(Pow(FeFromInt(2), kPMinus1Over4)) {}
};

const Curve& TheCurve() {
  static const Curve curve;
  return curve;
}

// The sum by the unified formula of the twisted Edwards curve with a = -1; it also doubles.
Point Plus(const Point& p, const Point& q) {
  const Fe a = Mul(Sub(p.y, p.x), Sub(q.y, q.x));
  const Fe b = Mul(Add(p.y, p.x), Add(q.y, q.x));
  const Fe c = Mul(Mul(p.t, q.t), TheCurve().d2);
  Fe d = Mul(p.z, q.z);
  d = Add(d, d);
  const Fe e = Sub(b, a), f = Sub(d, c), g = Add(d, c), h = Add(b, a);
  return {Mul(e, f), Mul(g, h), Mul(f, g), Mul(e, h)};
}

Point Negate(const Point& p) { return {Sub(Fe{}, p.x), p.y, p.z, Sub(Fe{}, p.t)}; }

// The point of an encoding: y below p, x recovered from the curve equation with the sign bit's
// parity. False for a non-canonical y, a y with no x, and the sign bit set on x = 0.
bool Decode(const uint8_t in[32], Point* point) {
  const Curve& curve = TheCurve();
  const Fe y = FromBytes(in);
  uint8_t canonical[32];
  ToBytes(y, canonical);
  canonical[31] |= in[31] & 0x80;
  if (std::memcmp(canonical, in, 32) != 0) return false;
  const Fe one = FeFromInt(1);
  const Fe y2 = Square(y);
  const Fe u = Sub(y2, one);
  const Fe v = Add(Mul(curve.d, y2), one);
  const Fe v3 = Mul(Square(v), v);
  const Fe v7 = Mul(Square(v3), v);
  Fe x = Mul(Mul(u, v3), Pow(Mul(u, v7), kPMinus5Over8));
  const Fe vx2 = Mul(v, Square(x));
  if (!Equal(vx2, u)) {
    if (!Equal(vx2, Sub(Fe{}, u))) return false;
    x = Mul(x, curve.rootOfMinusOne);
  }
  const bool sign = (in[31] >> 7) != 0;
  if (Equal(x, Fe{}) && sign) return false;
  if (IsOdd(x) != sign) x = Sub(Fe{}, x);
  *point = {x, y, one, Mul(x, y)};
  return true;
}

void Encode(const Point& p, uint8_t out[32]) {
  const Fe inverse = Invert(p.z);
  ToBytes(Mul(p.y, inverse), out);
  if (IsOdd(Mul(p.x, inverse))) out[31] |= 0x80;
}

// The group order L = 2^252 + 27742317777372353535851937790883648493, little-endian.
constexpr uint8_t kOrder[32] = {0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7,
                                0xa2, 0xde, 0xf9, 0xde, 0x14, 0,    0,    0,    0,    0,    0,
                                0,    0,    0,    0,    0,    0,    0,    0,    0,    0x10};

// Whether the little-endian number a is below b.
bool Below(const uint8_t a[32], const uint8_t b[32]) {
  for (int i = 31; i >= 0; --i) {
    if (a[i] != b[i]) return a[i] < b[i];
  }
  return false;
}

// A 512-bit little-endian number modulo L, bit by bit from the top: the remainder stays below
// 2L < 2^254, so doubling it never overflows 32 bytes.
std::array<uint8_t, 32> ReduceModOrder(const uint8_t in[64]) {
  std::array<uint8_t, 32> r{};
  for (int bit = 511; bit >= 0; --bit) {
    unsigned carry = (in[bit / 8] >> (bit % 8)) & 1u;
    for (auto& byte : r) {
      const unsigned doubled = byte * 2u + carry;
      byte = static_cast<uint8_t>(doubled);
      carry = doubled >> 8;
    }
    if (!Below(r.data(), kOrder)) {
      int borrow = 0;
      for (int i = 0; i < 32; ++i) {
        int difference = r[i] - kOrder[i] - borrow;
        borrow = difference < 0 ? 1 : 0;
        difference += 256 * borrow;
        r[i] = static_cast<uint8_t>(difference);
      }
    }
  }
  return r;
}

// The encoding of the base point: y = 4/5, x even.
constexpr uint8_t kBase[32] = {0x58, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66,
                               0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66,
                               0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66};

bool Bit(const uint8_t* scalar, int bit) { return ((scalar[bit / 8] >> (bit % 8)) & 1) != 0; }

}  // namespace

bool Verify(const uint8_t key[32], const uint8_t* message, std::size_t length,
            const uint8_t signature[64]) {
  const uint8_t* s = signature + 32;
  if (!Below(s, kOrder)) return false;
  Point a, base;
  if (!Decode(key, &a) || !Decode(kBase, &base)) return false;
  Sha512 hash;
  hash.Update(signature, 32);
  hash.Update(key, 32);
  hash.Update(message, length);
  const std::array<uint8_t, 32> k = ReduceModOrder(hash.Finish().data());
  // [S]B - [k]A, both scalars at once from their top bits.
  const Point minusA = Negate(a);
  const Fe one = FeFromInt(1);
  Point sum{Fe{}, one, one, Fe{}};
  for (int bit = 255; bit >= 0; --bit) {
    sum = Plus(sum, sum);
    if (Bit(s, bit)) sum = Plus(sum, base);
    if (Bit(k.data(), bit)) sum = Plus(sum, minusA);
  }
  // An R that is no canonical encoding of a point never equals an encoding made here.
  uint8_t r[32];
  Encode(sum, r);
  return std::memcmp(r, signature, 32) == 0;
}

}  // namespace ed25519
