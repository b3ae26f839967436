// A minimal XEmbed system tray on $DISPLAY's first screen: it owns the tray selection, announces
// itself as a tray manager does, prints "tray" once it does, then "docked" for each icon that asks
// to be docked. It embeds nothing; what a test needs is that the agent asked. It ends after 30 s,
// so a test reading its output never waits longer for a dock that does not come.

#include <xcb/xcb.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

constexpr std::uint32_t kRequestDock = 0;

xcb_atom_t atom(xcb_connection_t* connection, const std::string& name)
{
    const auto cookie = xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(name.size()), name.c_str());
    const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(connection, cookie, nullptr), &std::free);
    return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

}  // namespace

int main()
{
    ::alarm(30);
    int screenNumber = 0;
    xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(connection) != 0) {
        std::fprintf(stderr, "no display\n");
        return 1;
    }
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < screenNumber; ++i)
        xcb_screen_next(&screens);
    const xcb_screen_t* screen = screens.data;

    const xcb_window_t tray = xcb_generate_id(connection);
    xcb_create_window(connection, XCB_COPY_FROM_PARENT, tray, screen->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, screen->root_visual, 0, nullptr);
    const auto selection = atom(connection, "_NET_SYSTEM_TRAY_S" + std::to_string(screenNumber));
    const auto opcode = atom(connection, "_NET_SYSTEM_TRAY_OPCODE");
    const auto manager = atom(connection, "MANAGER");
    xcb_set_selection_owner(connection, tray, selection, XCB_CURRENT_TIME);

    xcb_client_message_event_t announcement{};
    announcement.response_type = XCB_CLIENT_MESSAGE;
    announcement.format = 32;
    announcement.window = screen->root;
    announcement.type = manager;
    announcement.data.data32[0] = XCB_CURRENT_TIME;
    announcement.data.data32[1] = selection;
    announcement.data.data32[2] = tray;
    xcb_send_event(connection, 0, screen->root, XCB_EVENT_MASK_STRUCTURE_NOTIFY,
                   reinterpret_cast<const char*>(&announcement));
    const std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, selection), nullptr),
        &std::free);
    if (!owner || owner->owner != tray) {
        std::fprintf(stderr, "the tray selection is taken\n");
        return 1;
    }
    std::printf("tray\n");
    std::fflush(stdout);

    while (xcb_generic_event_t* event = xcb_wait_for_event(connection)) {
        if ((event->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
            const auto* message = reinterpret_cast<const xcb_client_message_event_t*>(event);
            if (message->type == opcode && message->data.data32[1] == kRequestDock) {
                std::printf("docked\n");
                std::fflush(stdout);
            }
        }
        std::free(event);
    }
    xcb_disconnect(connection);
    return 0;
}
