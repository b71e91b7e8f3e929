/* The AM335x pad register as the control module has it (0x44E10800 + offset - 0x800):
 * bits 2:0 the mux mode, bit 3 pull disabled, bit 4 pull up (else down), bit 5 receiver
 * on (any input needs it). The names are the kernel's dt-bindings names, so a group here
 * reads as one in the kernel's own trees; no kernel headers are needed to build it.
 *
 * HX_PAD(offset, conf, mode) is one row of a pinctrl-single group: three cells (offset
 * from 0x800, conf, mode; ORed by the driver) where the pin controller has
 * #pinctrl-cells = <2> (kernels from 5.9 on), two (offset, conf | mode) where it has
 * <1> (4.x trees): a row of the wrong width is misread by the kernel, every row after it
 * shifted. Build with -DHX_PINCTRL_CELLS=1 for the two-cell trees. */
#ifndef HX_AM33XX_PADS_H
#define HX_AM33XX_PADS_H

#define PULL_DISABLE (1 << 3)
#define PULL_UP (1 << 4)
#define INPUT_EN (1 << 5)

#define PIN_OUTPUT PULL_DISABLE
#define PIN_OUTPUT_PULLUP PULL_UP
#define PIN_OUTPUT_PULLDOWN 0
#define PIN_INPUT (INPUT_EN | PULL_DISABLE)
#define PIN_INPUT_PULLUP (INPUT_EN | PULL_UP)
#define PIN_INPUT_PULLDOWN INPUT_EN

#define MUX_MODE1 1
#define MUX_MODE2 2
#define MUX_MODE4 4
#define MUX_MODE5 5
#define MUX_MODE6 6
#define MUX_MODE7 7

#if HX_PINCTRL_CELLS == 1
#define HX_PAD(offset, conf, mode) ((offset) - 0x800) ((conf) | (mode))
#else
#define HX_PAD(offset, conf, mode) ((offset) - 0x800) (conf) (mode)
#endif

#endif
