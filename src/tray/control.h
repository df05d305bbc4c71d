// The tray program's control socket: inkctl's requests, served in the GTK
// main loop. One request line per connection, answered, then the connection
// is closed. The socket's name comes from ctl_socket.h. Main thread only.
//
// Requests and answers (one line each unless said otherwise):
//   status                         connected | unconnected
//   calibrate normal|advanced      ok | refused <why>
//   about                          ok | refused <why>
//   screen list                    a line a monitor, "N NAME WxH+X+Y", then
//                                  "all WxH+X+Y" for the whole desktop, the
//                                  area in use marked by a final " *"; then "."
//   screen all|N|NAME              ok | refused <why>
// Anything else: "refused <why>".
#pragma once

#include <string>

// The requests that the tray menu's own handlers carry out.
enum class MenuRequest { Status, CalibrateNormal, CalibrateAdvanced, About };

// Carries out a menu request as its menu item does, with the menu's
// refusals; the answer line. Provided by main.cpp, called by the server.
std::string control_menu_request(MenuRequest r);

// Serves the socket of the display: a stale socket of a tray that has gone is
// replaced; when another tray of this user and display answers on it, or the
// directory is refused, nothing is served (said in the debug output).
void control_start();

// Closes every connection and removes the socket (when it is still ours).
void control_stop();
