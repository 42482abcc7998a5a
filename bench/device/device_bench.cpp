// SPDX-License-Identifier: MIT
// The device figures, measured on the device under qemu (bench/device.sh
// runs it with -icount shift=0, where every instruction advances the
// virtual clock by one nanosecond):
//
//  - instructions per byte of velkor_crc_update, velkor_csum and
//    vcrypt_process with the kernel this image was built with, timed with
//    the SysTick counter and converted to instructions by timing a loop of
//    known length;
//  - the deepest stack of the calls a bootloader makes, by painting the
//    stack below the caller, making the call and finding the lowest word
//    it changed.
#include "known_answers.h"
#include "velkor.h"

#include <cstdio>
#include <cstring>

namespace {

// SysTick, counting down from 2^24 - 1 on the processor clock.
volatile uint32_t *const syst_csr = reinterpret_cast<volatile uint32_t *>(0xE000E010);
volatile uint32_t *const syst_rvr = reinterpret_cast<volatile uint32_t *>(0xE000E014);
volatile uint32_t *const syst_cvr = reinterpret_cast<volatile uint32_t *>(0xE000E018);

void systick_start()
{
    *syst_rvr = 0xFFFFFF;
    *syst_cvr = 0;
    *syst_csr = 5; // enabled, processor clock, no interrupt
}

uint32_t ticks_since(uint32_t start)
{
    return (start - *syst_cvr) & 0xFFFFFF;
}

// n iterations of two instructions.
__attribute__((noinline)) void spin(uint32_t n)
{
    __asm__ volatile("1: subs %0, %0, #1\n\tbne 1b" : "+r"(n) : : "cc");
}

double instructions_per_tick;

void calibrate()
{
    uint32_t t = *syst_cvr;
    spin(100000);
    const uint32_t a = ticks_since(t);
    t = *syst_cvr;
    spin(1100000);
    const uint32_t b = ticks_since(t);
    instructions_per_tick = 2.0 * 1000000 / (b - a);
}

uint8_t data[65536];

template <typename F> double per_byte(F run)
{
    // Twice the bytes less once: what the call costs apart from the bytes.
    uint32_t t = *syst_cvr;
    run(data, sizeof data / 2);
    const uint32_t half = ticks_since(t);
    t = *syst_cvr;
    run(data, sizeof data);
    const uint32_t whole = ticks_since(t);
    return (whole - half) * instructions_per_tick / (sizeof data / 2);
}

// --- stack painting --------------------------------------------------------

constexpr uint32_t paint_word = 0xC0FFEE5Au;
constexpr size_t paint_words = 1024; // 4 KiB below the caller

uint32_t *stack_pointer()
{
    uint32_t *sp;
    __asm__ volatile("mov %0, sp" : "=r"(sp));
    return sp;
}

// Paints the 4 KiB below the current stack pointer, runs f, and returns
// how many bytes below that pointer it wrote: its call, its frame and
// everything it called.
template <typename F> __attribute__((noinline)) size_t stack_of(F f)
{
    uint32_t *top = stack_pointer(); // the call pushes below this
    for (size_t k = 1; k <= paint_words; k++)
        top[-static_cast<ptrdiff_t>(k)] = paint_word;
    f();
    size_t k = paint_words;
    while (k > 0 && top[-static_cast<ptrdiff_t>(k)] == paint_word)
        k--;
    return k * 4;
}

// The check of a tagged image, as examples/device/check_image.c makes it.
velkor_tag_reason check(const uint8_t *p, size_t len)
{
    velkor_tag_info info;
    velkor_tag_reason why = velkor_tag_parse(&info, p, len);
    if (why == VELKOR_TAG_OK)
        why = velkor_tag_check_length(&info, len);
    if (why != VELKOR_TAG_OK)
        return why;
    velkor_crc_state st;
    velkor_crc_init(&st);
    for (size_t at = VELKOR_TAG_HEADER_LEN; at < len; at += 1024)
        velkor_crc_update(&st, p + at, len - at < 1024 ? len - at : 1024);
    return velkor_tag_check_crc(&info, p, &st);
}

uint8_t image[4096 + VELKOR_TAG_HEADER_LEN];
uint8_t box[400];
enc_stream stream; // the caller's, as a bootloader would keep it
enc_info info;

} // namespace

int main()
{
    systick_start();
    calibrate();
    for (size_t k = 0; k < sizeof data; k++)
        data[k] = static_cast<uint8_t>(k * 131 + 7);

    velkor_crc_state st;
    printf("instructions per tick: %.2f\n", instructions_per_tick);
    printf("velkor_crc_update: %.2f instructions per byte\n",
           per_byte([&](const uint8_t *p, size_t n) {
               velkor_crc_init(&st);
               velkor_crc_update(&st, p, n);
           }));
    volatile uint32_t sink = 0;
    printf("velkor_csum: %.2f instructions per byte\n",
           per_byte([&](const uint8_t *p, size_t n) { sink = velkor_csum(0, p, n); }));
    vcrypt_state ctx;
    vcrypt_init(&ctx, known_answers::rfc6229_key, 5, 256);
    printf("vcrypt_process (256 entries): %.2f instructions per byte\n",
           per_byte([&](const uint8_t *p, size_t n) {
               vcrypt_process(&ctx, p, data, n);
           }));
    vcrypt_finish(&ctx);

    // A tagged image of 4 KiB, and a container of the known answers.
    velkor_crc_init(&st);
    velkor_crc_update(&st, data, 4096);
    velkor_tag_build(image, &st);
    memcpy(image + VELKOR_TAG_HEADER_LEN, data, 4096);
    const auto &g = known_answers::containers[2];
    size_t box_len = strlen(g.hex) / 2;
    for (size_t k = 0; k < box_len; k++)
        box[k] = known_answers::hex_byte(g.hex + 2 * k);

    velkor_tag_reason why = VELKOR_TAG_SHORT;
    printf("stack, check of a tagged image: %lu bytes\n",
           static_cast<unsigned long>(stack_of([&] { why = check(image, sizeof image); })));
    enc_reason r1 = ENC_CUT_OFF, r2 = ENC_CUT_OFF;
    info.key = g.key;
    const size_t s_header = stack_of([&] {
        r1 = enc_read_header(&stream, &info, box, box_len, static_cast<int64_t>(box_len));
    });
    const size_t s_payload = stack_of([&] {
        enc_read_payload(&stream, box + stream.header_len, data, stream.remaining);
    });
    const size_t s_finish = stack_of([&] {
        r2 = enc_read_finish(&stream, &info, box + stream.header_len + stream.data_length);
    });
    printf("stack, enc_read_header: %lu bytes\n", static_cast<unsigned long>(s_header));
    printf("stack, enc_read_payload: %lu bytes\n", static_cast<unsigned long>(s_payload));
    printf("stack, enc_read_finish: %lu bytes\n", static_cast<unsigned long>(s_finish));
    int rc = -1;
    const size_t s_decrypt = stack_of([&] {
        enc_info whole{};
        whole.key = g.key;
        rc = decrypt_buf(&whole, box, static_cast<int64_t>(box_len));
    });
    const size_t s_vcrypt = stack_of([&] { vcrypt_buf(1, "key", data, data, 64, 0); });
    printf("stack, decrypt_buf: %lu bytes\n", static_cast<unsigned long>(s_decrypt));
    printf("stack, vcrypt_buf (256 entries): %lu bytes\n", static_cast<unsigned long>(s_vcrypt));
    const bool ok = why == VELKOR_TAG_OK && r1 == ENC_OK && r2 == ENC_OK && rc == 0;
    printf("%s\n", ok ? "all calls succeeded" : "a call failed: the figures are not valid");
    return ok ? 0 : 1;
}
