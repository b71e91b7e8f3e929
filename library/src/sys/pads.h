// The board's pads that carry the services' signals: which pad each signal is on, the
// value the board's device tree additions (devicetree/) give it, and each pad's eight
// modes as the SoC's pad mux table names them. The board check reads the pads back from
// the kernel's pinctrl debugfs against this; the device tree's tests check the merged
// trees against it.
#pragma once

#include <cstdint>

namespace hx::pads {

// The control module's pad registers: pad offset 0x800 is at 0x44E10800.
constexpr uint32_t control_module = 0x44e10000;
constexpr int first_pad = 0x800;
constexpr int pad_count = 142;

// The pad register's bits.
constexpr uint8_t mode_mask = 0x07;
constexpr uint8_t pull_disable = 0x08;
constexpr uint8_t pull_up = 0x10;
constexpr uint8_t input_enable = 0x20;

struct pad {
    uint16_t offset;
    const char* name;  // the pad's mode 0 name
    const char* ball;
    const char* mode[8];  // nullptr: a reserved mode
};

// Every pad of a signal below, and the pads of the eQEP A inputs' other routes.
constexpr pad table[] = {
    {0x830, "gpmc_ad12", "T12",
     {"gpmc_ad12", "lcd_data20", "mmc1_dat4", "mmc2_dat0", "eqep2a_in", "pr1_mii0_txd2", "pr1_pru0_pru_r30_14",
      "gpio1_12"}},
    {0x834, "gpmc_ad13", "R12",
     {"gpmc_ad13", "lcd_data21", "mmc1_dat5", "mmc2_dat1", "eqep2b_in", "pr1_mii0_txd1", "pr1_pru0_pru_r30_15",
      "gpio1_13"}},
    {0x838, "gpmc_ad14", "V13",
     {"gpmc_ad14", "lcd_data22", "mmc1_dat6", "mmc2_dat2", "eqep2_index", "pr1_mii0_txd0", "pr1_pru0_pru_r31_14",
      "gpio1_14"}},
    {0x83c, "gpmc_ad15", "U13",
     {"gpmc_ad15", "lcd_data23", "mmc1_dat7", "mmc2_dat3", "eqep2_strobe", "pr1_ecap0_ecap_capin_apwm_o",
      "pr1_pru0_pru_r31_15", "gpio1_15"}},
    {0x850, "gpmc_a4", "R14", {}},
    {0x898, "gpmc_wen", "U6", {"gpmc_wen", nullptr, "timer6", nullptr, nullptr, nullptr, nullptr, "gpio2_4"}},
    {0x89c, "gpmc_ben0_cle", "T6",
     {"gpmc_ben0_cle", nullptr, "timer5", nullptr, nullptr, nullptr, nullptr, "gpio2_5"}},
    {0x8b0, "lcd_data4", "T1",
     {"lcd_data4", "gpmc_a4", "pr1_mii0_txd1", "eqep2a_in", nullptr, "pr1_pru1_pru_r30_4", "pr1_pru1_pru_r31_4",
      "gpio2_10"}},
    {0x8b4, "lcd_data5", "T2",
     {"lcd_data5", "gpmc_a5", "pr1_mii0_txd0", "eqep2b_in", nullptr, "pr1_pru1_pru_r30_5", "pr1_pru1_pru_r31_5",
      "gpio2_11"}},
    {0x8b8, "lcd_data6", "T3",
     {"lcd_data6", "gpmc_a6", "pr1_edio_data_in6", "eqep2_index", "pr1_edio_data_out6", "pr1_pru1_pru_r30_6",
      "pr1_pru1_pru_r31_6", "gpio2_12"}},
    {0x8bc, "lcd_data7", "T4",
     {"lcd_data7", "gpmc_a7", "pr1_edio_data_in7", "eqep2_strobe", "pr1_edio_data_out7", "pr1_pru1_pru_r30_7",
      "pr1_pru1_pru_r31_7", "gpio2_13"}},
    {0x8c0, "lcd_data8", "U1",
     {"lcd_data8", "gpmc_a12", "ehrpwm1_tripzone_input", "mcasp0_aclkx", "uart5_txd", "pr1_mii0_rxd3", "uart2_ctsn",
      "gpio2_14"}},
    {0x8c4, "lcd_data9", "U2",
     {"lcd_data9", "gpmc_a13", "ehrpwm0_synco", "mcasp0_fsx", "uart5_rxd", "pr1_mii0_rxd2", "uart2_rtsn",
      "gpio2_15"}},
    {0x8c8, "lcd_data10", "U3",
     {"lcd_data10", "gpmc_a14", "ehrpwm1a", "mcasp0_axr0", nullptr, "pr1_mii0_rxd1", "uart3_ctsn", "gpio2_16"}},
    {0x8d0, "lcd_data12", "V2",
     {"lcd_data12", "gpmc_a16", "eqep1a_in", "mcasp0_aclkr", "mcasp0_axr2", "pr1_mii0_rxlink", "uart4_ctsn",
      "gpio0_8"}},
    {0x8d4, "lcd_data13", "V3",
     {"lcd_data13", "gpmc_a17", "eqep1b_in", "mcasp0_fsr", "mcasp0_axr3", "pr1_mii0_rxer", "uart4_rtsn",
      "gpio0_9"}},
    {0x8e0, "lcd_vsync", "U5",
     {"lcd_vsync", "gpmc_a8", nullptr, "pr1_edio_data_in2", "pr1_edio_data_out2", "pr1_pru1_pru_r30_8",
      "pr1_pru1_pru_r31_8", "gpio2_22"}},
    {0x8e4, "lcd_hsync", "R5",
     {"lcd_hsync", "gpmc_a9", nullptr, "pr1_edio_data_in3", "pr1_edio_data_out3", "pr1_pru1_pru_r30_9",
      "pr1_pru1_pru_r31_9", "gpio2_23"}},
    {0x8e8, "lcd_pclk", "V5",
     {"lcd_pclk", "gpmc_a10", "pr1_mii0_crs", "pr1_edio_data_in4", "pr1_edio_data_out4", "pr1_pru1_pru_r30_10",
      "pr1_pru1_pru_r31_10", "gpio2_24"}},
    {0x8ec, "lcd_ac_bias_en", "R6",
     {"lcd_ac_bias_en", "gpmc_a11", "pr1_mii1_crs", "pr1_edio_data_in5", "pr1_edio_data_out5", "pr1_pru1_pru_r30_11",
      "pr1_pru1_pru_r31_11", "gpio2_25"}},
    {0x924, "mii1_txd1", "K16", {}},
    {0x950, "spi0_sclk", "A17",
     {"spi0_sclk", "uart2_rxd", "i2c2_sda", "ehrpwm0a", "pr1_uart0_cts_n", "pr1_edio_sof", "emu2", "gpio0_2"}},
    {0x954, "spi0_d0", "B17",
     {"spi0_d0", "uart2_txd", "i2c2_scl", "ehrpwm0b", "pr1_uart0_rts_n", "pr1_edio_latch_in", "emu3", "gpio0_3"}},
    {0x970, "uart0_rxd", "E15",
     {"uart0_rxd", "spi1_cs0", "d_can0_tx", "i2c2_sda", "ecap2_in_pwm2_out", "pr1_pru1_pru_r30_14",
      "pr1_pru1_pru_r31_14", "gpio1_10"}},
    {0x974, "uart0_txd", "E16",
     {"uart0_txd", "spi1_cs1", "d_can0_rx", "i2c2_scl", "ecap1_in_pwm1_out", "pr1_pru1_pru_r30_15",
      "pr1_pru1_pru_r31_15", "gpio1_11"}},
    {0x980, "uart1_rxd", "D16",
     {"uart1_rxd", "mmc1_sdwp", "d_can1_tx", "i2c1_sda", nullptr, "pr1_uart0_rxd_mux1", "pr1_pru1_pru_r31_16",
      "gpio0_14"}},
    {0x984, "uart1_txd", "D15",
     {"uart1_txd", "mmc2_sdwp", "d_can1_rx", "i2c1_scl", nullptr, "pr1_uart0_txd_mux1", "pr1_pru0_pru_r31_16",
      "gpio0_15"}},
    {0x9a0, "mcasp0_aclkr", "B12",
     {"mcasp0_aclkr", "eqep0a_in", "mcasp0_axr2", "mcasp1_aclkx", "mmc0_sdwp", "pr1_pru0_pru_r30_4",
      "pr1_pru0_pru_r31_4", "gpio3_18"}},
    {0x9a4, "mcasp0_fsr", "C13",
     {"mcasp0_fsr", "eqep0b_in", "mcasp0_axr3", "mcasp1_fsx", "emu2", "pr1_pru0_pru_r30_5", "pr1_pru0_pru_r31_5",
      "gpio3_19"}},
};

constexpr const pad* find(int offset)
{
    for (const pad& p : table)
        if (p.offset == offset) return &p;
    return nullptr;
}

struct signal {
    const char* what;      // as the board check names it
    uint16_t offset;       // the pad carrying it on this board
    uint8_t value;         // the pad's value in the device tree additions or the board's tree
    bool pull_matters;     // the pull is part of the design (else only mode and receiver are)
    const char* function;  // what the wanted mode is, for a person
    uint32_t unit;         // the register address of the device that uses it
    int8_t eqep_a = -1;    // the eQEP unit whose A input it is (a unit counts only with one)
};

// Inputs: receiver on (0x20); 0x10 pull-up, 0x08 no pull. Outputs: pull-down (0x00).
constexpr signal signals[] = {
    {"encoder 1 A", 0x9a0, 0x29, false, "eQEP0 A", 0x48300180, 0},
    {"encoder 1 B", 0x9a4, 0x29, false, "eQEP0 B", 0x48300180},
    {"encoder 2 A", 0x8d0, 0x2a, false, "eQEP1 A", 0x48302180, 1},
    {"encoder 2 B", 0x8d4, 0x2a, false, "eQEP1 B", 0x48302180},
    {"encoder 3 A", 0x830, 0x2c, false, "eQEP2 A", 0x48304180, 2},
    {"encoder 3 B", 0x834, 0x2c, false, "eQEP2 B", 0x48304180},
    {"encoder 4 A", 0x838, 0x36, true, "PRU0 R31 14", 0x4a334000},
    {"encoder 4 B", 0x83c, 0x36, true, "PRU0 R31 15", 0x4a334000},
    {"servo 1", 0x8e0, 0x05, true, "PRU1 R30 8", 0x4a338000},
    {"servo 2", 0x8e8, 0x05, true, "PRU1 R30 10", 0x4a338000},
    {"servo 3", 0x8e4, 0x05, true, "PRU1 R30 9", 0x4a338000},
    {"servo 4", 0x8ec, 0x05, true, "PRU1 R30 11", 0x4a338000},
    {"servo 5", 0x8b8, 0x05, true, "PRU1 R30 6", 0x4a338000},
    {"servo 6", 0x8bc, 0x05, true, "PRU1 R30 7", 0x4a338000},
    {"servo 7", 0x8b0, 0x05, true, "PRU1 R30 4", 0x4a338000},
    {"servo 8", 0x8b4, 0x05, true, "PRU1 R30 5", 0x4a338000},
    {"servo rail", 0x8c8, 0x07, true, "GPIO2 16", 0x481ac000},
    {"mode button", 0x898, 0x37, true, "GPIO2 4", 0x481ac000},
    {"pause button", 0x89c, 0x37, true, "GPIO2 5", 0x481ac000},
    {"serial 0 RX", 0x970, 0x30, false, "UART0 RX", 0x44e09000},
    {"serial 0 TX", 0x974, 0x00, false, "UART0 TX", 0x44e09000},
    {"serial 1 RX", 0x980, 0x30, false, "UART1 RX", 0x48022000},
    {"serial 1 TX", 0x984, 0x00, false, "UART1 TX", 0x48022000},
    {"serial 2 RX", 0x950, 0x31, false, "UART2 RX", 0x48024000},
    {"serial 2 TX", 0x954, 0x01, false, "UART2 TX", 0x48024000},
    {"serial 5 RX", 0x8c4, 0x34, false, "UART5 RX", 0x481aa000},
    {"serial 5 TX", 0x8c0, 0x04, false, "UART5 TX", 0x481aa000},
};
constexpr int signal_count = sizeof signals / sizeof signals[0];

// The other pads an eQEP unit's A input can be muxed on: a unit whose A input is on
// none of them never counts.
struct route {
    int eqep;
    uint16_t offset;
    uint8_t mode;
};
constexpr route eqep_a_elsewhere[] = {{0, 0x924, 5}, {1, 0x850, 6}, {2, 0x8b0, 3}};

}  // namespace hx::pads
