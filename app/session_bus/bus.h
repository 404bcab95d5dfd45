// app/session_bus/bus.h: the connection to the session bus as this room's files share it: the
// media player, the desktop's players followed, and the screen saver. All on the GLUT thread:
// sd-bus is not thread-safe.
#pragma once
#include <systemd/sd-bus.h>

// The connection, made if there is none yet; nullptr without a session bus, or once it has gone.
sd_bus* connectedBus();
// The connection made, or nullptr.
sd_bus* sessionBus();
// Each poll, once what came has been handled: the media player tells what has changed (and the
// program ends, if it was asked to).
void tellMediaPlayerChanges();
// At exit, before the connection closes: every inhibition held, or asked for, is let go.
void letGoOfIdleness();
