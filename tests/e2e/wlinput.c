/* A pointer and a keyboard for a Wayland compositor without input devices
   (headless sway), through wlroots' virtual pointer and virtual keyboard:
   wlinput WIDTH HEIGHT (the size of the output, whose pixels positions are
   given in). Reads one command a line on standard input and answers each
   with "ok" once the compositor has handled it, or "error ...":
     move X Y        the pointer to that point
     click BUTTON    press and release: 1 left, 2 middle, 3 right
     key NAME...     press and release each key (keysym names: Down, Return);
                     NAME+NAME holds them together (Control_L+c)
   The devices last until standard input ends. */
#define _GNU_SOURCE
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

#include <linux/input-event-codes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

static struct wl_seat *seat;
static struct zwlr_virtual_pointer_manager_v1 *pointerManager;
static struct zwp_virtual_keyboard_manager_v1 *keyboardManager;

static void global(void *data, struct wl_registry *registry, uint32_t name, const char *interface,
                   uint32_t version)
{
    (void)data;
    (void)version;
    if (!strcmp(interface, wl_seat_interface.name) && !seat)
        seat = wl_registry_bind(registry, name, &wl_seat_interface, 1);
    else if (!strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name))
        pointerManager =
            wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1);
    else if (!strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name))
        keyboardManager =
            wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1);
}

static void globalRemove(void *data, struct wl_registry *registry, uint32_t name)
{
    (void)data;
    (void)registry;
    (void)name;
}

static const struct wl_registry_listener registryListener = {global, globalRemove};

static uint32_t now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint32_t)(t.tv_sec * 1000 + t.tv_nsec / 1000000);
}

/* The evdev code of the key that gives a keysym without modifiers. */
static int keyCode(struct xkb_keymap *keymap, const char *name)
{
    xkb_keysym_t wanted = xkb_keysym_from_name(name, XKB_KEYSYM_NO_FLAGS);
    if (wanted == XKB_KEY_NoSymbol)
        return -1;
    for (xkb_keycode_t code = xkb_keymap_min_keycode(keymap);
         code <= xkb_keymap_max_keycode(keymap); ++code) {
        const xkb_keysym_t *syms;
        int n = xkb_keymap_key_get_syms_by_level(keymap, code, 0, 0, &syms);
        for (int i = 0; i < n; ++i)
            if (syms[i] == wanted)
                return (int)code - 8;
    }
    return -1;
}

/* A key, and the modifiers it leaves: the compositor takes them from the
   client, not from the keys. */
static void sendKey(struct wl_display *display, struct zwp_virtual_keyboard_v1 *keyboard,
                    struct xkb_state *state, int code, int down)
{
    zwp_virtual_keyboard_v1_key(keyboard, now(), (uint32_t)code,
                                down ? WL_KEYBOARD_KEY_STATE_PRESSED
                                     : WL_KEYBOARD_KEY_STATE_RELEASED);
    xkb_state_update_key(state, (xkb_keycode_t)code + 8, down ? XKB_KEY_DOWN : XKB_KEY_UP);
    zwp_virtual_keyboard_v1_modifiers(
        keyboard, xkb_state_serialize_mods(state, XKB_STATE_MODS_DEPRESSED),
        xkb_state_serialize_mods(state, XKB_STATE_MODS_LATCHED),
        xkb_state_serialize_mods(state, XKB_STATE_MODS_LOCKED),
        xkb_state_serialize_layout(state, XKB_STATE_LAYOUT_EFFECTIVE));
    wl_display_roundtrip(display);
}

int main(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    const uint32_t width = (uint32_t)atoi(argv[1]), height = (uint32_t)atoi(argv[2]);
    struct wl_display *display = wl_display_connect(NULL);
    if (!display) {
        fprintf(stderr, "wlinput: no Wayland display\n");
        return 1;
    }
    struct wl_registry *registry = wl_display_get_registry(display);
    wl_registry_add_listener(registry, &registryListener, NULL);
    wl_display_roundtrip(display);
    if (!seat || !pointerManager || !keyboardManager) {
        fprintf(stderr, "wlinput: the compositor offers no virtual pointer or keyboard\n");
        return 1;
    }
    struct zwlr_virtual_pointer_v1 *pointer =
        zwlr_virtual_pointer_manager_v1_create_virtual_pointer(pointerManager, seat);
    struct zwp_virtual_keyboard_v1 *keyboard =
        zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(keyboardManager, seat);

    struct xkb_context *context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    struct xkb_keymap *keymap =
        context ? xkb_keymap_new_from_names(context, NULL, XKB_KEYMAP_COMPILE_NO_FLAGS) : NULL;
    char *text = keymap ? xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1) : NULL;
    if (!text) {
        fprintf(stderr, "wlinput: no keymap\n");
        return 1;
    }
    const size_t size = strlen(text) + 1;
    int fd = memfd_create("keymap", MFD_CLOEXEC);
    if (fd < 0 || write(fd, text, size) != (ssize_t)size) {
        fprintf(stderr, "wlinput: cannot hand over the keymap\n");
        return 1;
    }
    zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd, (uint32_t)size);
    struct xkb_state *state = xkb_state_new(keymap);
    wl_display_roundtrip(display);

    setvbuf(stdout, NULL, _IOLBF, 0);
    char line[512];
    while (fgets(line, sizeof line, stdin)) {
        char *words[32];
        int n = 0;
        for (char *w = strtok(line, " \t\n"); w && n < 32; w = strtok(NULL, " \t\n"))
            words[n++] = w;
        if (n == 0)
            continue;
        const char *error = NULL;
        if (!strcmp(words[0], "move") && n == 3) {
            zwlr_virtual_pointer_v1_motion_absolute(pointer, now(), (uint32_t)atoi(words[1]),
                                                    (uint32_t)atoi(words[2]), width, height);
            zwlr_virtual_pointer_v1_frame(pointer);
        } else if (!strcmp(words[0], "click") && n == 2) {
            const int button = atoi(words[1]);
            const uint32_t code = button == 3 ? BTN_RIGHT : button == 2 ? BTN_MIDDLE : BTN_LEFT;
            zwlr_virtual_pointer_v1_button(pointer, now(), code, WL_POINTER_BUTTON_STATE_PRESSED);
            zwlr_virtual_pointer_v1_frame(pointer);
            wl_display_roundtrip(display);
            zwlr_virtual_pointer_v1_button(pointer, now(), code, WL_POINTER_BUTTON_STATE_RELEASED);
            zwlr_virtual_pointer_v1_frame(pointer);
        } else if (!strcmp(words[0], "key") && n >= 2) {
            for (int i = 1; i < n && !error; ++i) {
                /* NAME+NAME: held down together, released in reverse. */
                int codes[8], held = 0;
                for (char *k = strtok(words[i], "+"); k && held < 8; k = strtok(NULL, "+")) {
                    codes[held] = keyCode(keymap, k);
                    if (codes[held++] < 0)
                        error = "unknown key";
                }
                for (int j = 0; j < held && !error; ++j)
                    sendKey(display, keyboard, state, codes[j], 1);
                for (int j = held - 1; j >= 0 && !error; --j)
                    sendKey(display, keyboard, state, codes[j], 0);
            }
        } else {
            error = "unknown command";
        }
        if (wl_display_roundtrip(display) < 0)
            error = "the compositor is gone";
        if (error)
            printf("error %s\n", error);
        else
            printf("ok\n");
        if (wl_display_get_error(display))
            return 1;
    }
    zwlr_virtual_pointer_v1_destroy(pointer);
    zwp_virtual_keyboard_v1_destroy(keyboard);
    wl_display_roundtrip(display);
    wl_display_disconnect(display);
    return 0;
}
