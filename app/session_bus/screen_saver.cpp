#include <systemd/sd-bus.h>

#include <cstdint>
#include <string>

#include "app/session_bus/bus.h"
#include "app/session_bus/session_bus.h"

// The desktop asked not to blank or lock the screen: its screen saver, and its portal where one
// runs.
namespace {
// An inhibition asked of one service: it is asked back as soon as it is held and no longer wanted,
// even if that is before the service answered.
struct Inhibition {
    bool asking = false;
    bool held = false;
    std::uint32_t cookie = 0;  // the screen saver's
    std::string request;       // the portal's: a request object, closed to let go
};
bool idlenessInhibited = false;  // what the program wants
Inhibition screenSaver;
Inhibition portal;

void letGo(Inhibition& inhibition) {
    if (!inhibition.held) return;
    inhibition.held = false;
    if (&inhibition == &portal) {
        sd_bus_call_method_async(sessionBus(), nullptr, "org.freedesktop.portal.Desktop",
                                 inhibition.request.c_str(), "org.freedesktop.portal.Request",
                                 "Close", nullptr, nullptr, "");
    } else {
        sd_bus_call_method_async(sessionBus(), nullptr, "org.freedesktop.ScreenSaver",
                                 "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver",
                                 "UnInhibit", nullptr, nullptr, "u", inhibition.cookie);
    }
}

int onInhibited(sd_bus_message* answer, void* which, sd_bus_error*) {
    const bool ofPortal = which == &portal;
    Inhibition& inhibition = *static_cast<Inhibition*>(which);
    inhibition.asking = false;
    // No such service, or it refused.
    if (sd_bus_message_is_method_error(answer, nullptr)) return 0;
    const char* request = nullptr;
    const int read = ofPortal ? sd_bus_message_read(answer, "o", &request)
                              : sd_bus_message_read(answer, "u", &inhibition.cookie);
    if (read < 0) return 0;
    if (ofPortal) inhibition.request = request;
    inhibition.held = true;
    if (!idlenessInhibited) letGo(inhibition);
    return 0;
}

// Asked only of a service that runs: starting one for this would be no use.
void ask(Inhibition& inhibition, const char* service, const char* path, const char* interface,
         sd_bus_message_handler_t append) {
    if (inhibition.asking || inhibition.held) return;
    sd_bus* bus = sessionBus();
    sd_bus_message* call = nullptr;
    if (sd_bus_message_new_method_call(bus, &call, service, path, interface, "Inhibit") < 0) return;
    sd_bus_message_set_auto_start(call, 0);
    if (append(call, nullptr, nullptr) >= 0 &&
        sd_bus_call_async(bus, nullptr, call, onInhibited, &inhibition, 0) >= 0) {
        inhibition.asking = true;
    }
    sd_bus_message_unref(call);
}

constexpr char WHY[] = "Dancing full screen to music";

int screenSaverArguments(sd_bus_message* call, void*, sd_bus_error*) {
    return sd_bus_message_append(call, "ss", "dancer", WHY);
}

int portalArguments(sd_bus_message* call, void*, sd_bus_error*) {
    constexpr std::uint32_t IDLE = 8;
    return sd_bus_message_append(call, "sua{sv}", "", IDLE, 1, "reason", "s", WHY);
}
}  // namespace

void letGoOfIdleness() {
    sd_bus* bus = sessionBus();
    if (bus == nullptr) return;
    idlenessInhibited = false;
    // An inhibition asked for and not answered yet is let go as its answer comes: that is waited
    // for, up to 100 ms.
    for (int waits = 0; waits < 10 && (screenSaver.asking || portal.asking); ++waits) {
        if (sd_bus_process(bus, nullptr) == 0 && sd_bus_wait(bus, 10000) < 0) break;
    }
    letGo(screenSaver);
    letGo(portal);
}

void inhibitIdleness(bool inhibit) {
    idlenessInhibited = inhibit;
    if (sessionBus() == nullptr) return;
    if (inhibit) {
        ask(screenSaver, "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
            "org.freedesktop.ScreenSaver", screenSaverArguments);
        ask(portal, "org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop",
            "org.freedesktop.portal.Inhibit", portalArguments);
    } else {
        letGo(screenSaver);
        letGo(portal);
    }
}
