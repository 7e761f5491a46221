/*
 * ipmi_sim plugin: the vendor command "read eth0 MAC" (NetFn 0x30, cmd 0x21).
 *
 * The client sees the answer as: command byte, completion code, 4 filler
 * bytes, the 6 MAC bytes (first octet first): 12 bytes. Real controllers
 * differ in which request data byte they accept, and some answer with a
 * short record, so the answer's shape can be switched at run time from
 * the simulator's console:
 *
 *   oem_mac_set 00:25:90:a0:b0:c0   the MAC the command reports
 *   oem_mac_mode normal             12 bytes for every request
 *   oem_mac_mode wrong-length       11 bytes for every request
 *   oem_mac_mode only-zero          12 bytes only when the data byte is 0x00,
 *                                   11 bytes otherwise
 *   oem_mac_show                    prints "mac=... mode=..."
 *
 * The init string of the loadlib line takes the same settings as
 * blank-separated words: "mac=00:25:90:a0:b0:c0 mode=normal".
 *
 * With "power=STATEFILE" in the init string the plugin also answers Get
 * Chassis Status itself, from the chassis program's state file ("1" on,
 * "0" off, missing: on), so a status read starts no process: the simulator
 * then keeps up when every controller of a large lab is asked at once.
 * Chassis Control still goes to the chassis program.
 */
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <OpenIPMI/mcserv.h>
#include <OpenIPMI/serv.h>

#define OEM_NETFN 0x30
#define OEM_CMD_READ_MAC 0x21
#define FILLER_BYTES 4
#define MAC_BYTES 6

enum answer_mode { MODE_NORMAL, MODE_WRONG_LENGTH, MODE_ONLY_ZERO };

static const char *const mode_names[] = { "normal", "wrong-length", "only-zero" };

static unsigned char current_mac[MAC_BYTES] = { 0x00, 0x25, 0x90, 0xa0, 0xb0, 0xc0 };
static enum answer_mode current_mode = MODE_NORMAL;
static char power_file[200];  /* empty: chassis status is ipmi_sim's own */

/* Accepts exactly xx:xx:xx:xx:xx:xx with hexadecimal fields. */
static int parse_mac(const char *text, unsigned char out[MAC_BYTES])
{
    unsigned int v[MAC_BYTES];
    char tail;
    int i;

    if (sscanf(text, "%2x:%2x:%2x:%2x:%2x:%2x%c",
               &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &tail) != MAC_BYTES)
        return -1;
    for (i = 0; i < MAC_BYTES; i++)
        out[i] = (unsigned char) v[i];
    return 0;
}

static int parse_mode(const char *text, enum answer_mode *out)
{
    unsigned int i;

    for (i = 0; i < sizeof(mode_names) / sizeof(mode_names[0]); i++) {
        if (strcmp(text, mode_names[i]) == 0) {
            *out = (enum answer_mode) i;
            return 0;
        }
    }
    return -1;
}

static int full_answer_for(const msg_t *msg)
{
    switch (current_mode) {
    case MODE_NORMAL:
        return 1;
    case MODE_ONLY_ZERO:
        return msg->len >= 1 && msg->data[0] == 0x00;
    case MODE_WRONG_LENGTH:
    default:
        return 0;
    }
}

static void handle_read_mac(lmc_data_t *mc, msg_t *msg, unsigned char *rdata,
                            unsigned int *rdata_len, void *cb_data)
{
    const unsigned int full = 1 + FILLER_BYTES + MAC_BYTES;

    (void) mc;
    (void) cb_data;
    rdata[0] = 0x00;
    memset(rdata + 1, 0, FILLER_BYTES);
    memcpy(rdata + 1 + FILLER_BYTES, current_mac, MAC_BYTES);
    /* A short answer drops the last MAC byte: one byte too few. */
    *rdata_len = full_answer_for(msg) ? full : full - 1;
}

static void print_state(emu_out_t *out)
{
    out->eprintf(out, "mac=%02x:%02x:%02x:%02x:%02x:%02x mode=%s\n",
                 current_mac[0], current_mac[1], current_mac[2],
                 current_mac[3], current_mac[4], current_mac[5],
                 mode_names[current_mode]);
}

static int console_set_mac(emu_out_t *out, emu_data_t *emu, lmc_data_t *mc,
                           char **toks)
{
    const char *word = strtok_r(NULL, " \t\n", toks);

    (void) emu;
    (void) mc;
    if (!word || parse_mac(word, current_mac) != 0) {
        out->eprintf(out, "**usage: oem_mac_set xx:xx:xx:xx:xx:xx\n");
        return -1;
    }
    print_state(out);
    return 0;
}

static int console_set_mode(emu_out_t *out, emu_data_t *emu, lmc_data_t *mc,
                            char **toks)
{
    const char *word = strtok_r(NULL, " \t\n", toks);

    (void) emu;
    (void) mc;
    if (!word || parse_mode(word, &current_mode) != 0) {
        out->eprintf(out,
                     "**usage: oem_mac_mode normal|wrong-length|only-zero\n");
        return -1;
    }
    print_state(out);
    return 0;
}

static int console_show(emu_out_t *out, emu_data_t *emu, lmc_data_t *mc,
                        char **toks)
{
    (void) emu;
    (void) mc;
    (void) toks;
    print_state(out);
    return 0;
}

/* Get Chassis Status (NetFn 0x00 cmd 0x01) from the state file. */
static void handle_chassis_status(lmc_data_t *mc, msg_t *msg, unsigned char *rdata,
                                  unsigned int *rdata_len, void *cb_data)
{
    char text[4] = "";
    int fd;
    ssize_t n = 0;

    (void) mc;
    (void) msg;
    (void) cb_data;
    fd = open(power_file, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        n = read(fd, text, sizeof(text) - 1);
        close(fd);
    }
    rdata[0] = 0;                                   /* completion code */
    rdata[1] = (n > 0 && text[0] == '0') ? 0 : 1;   /* current power state: bit 0 on */
    rdata[2] = 0;                                   /* last power event */
    rdata[3] = 0;                                   /* misc. chassis state */
    *rdata_len = 4;
}

/* Reads "mac=...", "mode=..." and "power=..." words; anything else is an error. */
static int apply_init_string(sys_data_t *sys, const char *options)
{
    char copy[256];
    char *save = NULL;
    char *word;

    if (!options)
        return 0;
    if (strlen(options) >= sizeof(copy)) {
        sys->log(sys, OS_ERROR, NULL, "oem_mac: init string too long");
        return -1;
    }
    strcpy(copy, options);
    for (word = strtok_r(copy, " \t", &save); word;
         word = strtok_r(NULL, " \t", &save)) {
        int bad;

        if (strncmp(word, "mac=", 4) == 0)
            bad = parse_mac(word + 4, current_mac);
        else if (strncmp(word, "mode=", 5) == 0)
            bad = parse_mode(word + 5, &current_mode);
        else if (strncmp(word, "power=", 6) == 0 && strlen(word + 6) < sizeof(power_file))
            bad = (strcpy(power_file, word + 6), power_file[0] != '/');
        else
            bad = -1;
        if (bad) {
            sys->log(sys, OS_ERROR, NULL,
                     "oem_mac: bad init word '%s' (use mac=xx:xx:xx:xx:xx:xx"
                     " mode=normal|wrong-length|only-zero power=/path)", word);
            return -1;
        }
    }
    return 0;
}

int ipmi_sim_module_print_version(sys_data_t *sys, char *options)
{
    (void) sys;
    (void) options;
    printf("oem_mac 1.0 (NetFn 0x30 cmd 0x21: eth0 MAC)\n");
    return 0;
}

int ipmi_sim_module_init(sys_data_t *sys, const char *options)
{
    int rv;

    rv = apply_init_string(sys, options);
    if (rv)
        return rv;
    rv = ipmi_emu_register_cmd_handler(OEM_NETFN, OEM_CMD_READ_MAC,
                                       handle_read_mac, NULL);
    if (rv) {
        sys->log(sys, OS_ERROR, NULL,
                 "oem_mac: cannot register NetFn 0x30 cmd 0x21: %d", rv);
        return rv;
    }
    if (power_file[0]) {
        rv = ipmi_emu_register_cmd_handler(0x00, 0x01, handle_chassis_status, NULL);
        if (rv) {
            sys->log(sys, OS_ERROR, NULL,
                     "oem_mac: cannot register NetFn 0x00 cmd 0x01: %d", rv);
            return rv;
        }
    }
    ipmi_emu_add_cmd("oem_mac_set", NOMC, console_set_mac);
    ipmi_emu_add_cmd("oem_mac_mode", NOMC, console_set_mode);
    ipmi_emu_add_cmd("oem_mac_show", NOMC, console_show);
    return 0;
}
