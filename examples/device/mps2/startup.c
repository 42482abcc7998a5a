/* SPDX-License-Identifier: MIT */
/*
 * Start-up for the MPS2 boards qemu emulates (mps2-an385, Cortex-M3, and
 * mps2-an386, Cortex-M4): the vector table the core reads at reset, then
 * newlib's start-up code (_start, from rdimon.specs), which clears .bss,
 * sets up semihosting for standard output and calls main(); main's return
 * value becomes qemu's exit status.  A fault says so and ends the run with
 * status 70 instead of locking the core up.
 */
#include <stdint.h>
#include <unistd.h>

extern void _start(void);
extern uint32_t __stack_top;

static void fault(void)
{
    static const char msg[] = "fault: the program stopped on a processor fault\n";
    write(2, msg, sizeof msg - 1);
    _exit(70);
}

/* The core loads the stack pointer from the first word and jumps to the
 * second; the rest are the exception handlers. */
struct vector_table {
    uint32_t *initial_sp;
    void (*handlers[15])(void);
};

__attribute__((section(".vectors"), used)) const struct vector_table mps2_vectors = {
    &__stack_top,
    {
        _start, /* reset */
        fault,  /* NMI */
        fault,  /* hard fault */
        fault,  /* memory management fault */
        fault,  /* bus fault */
        fault,  /* usage fault */
    },
};
