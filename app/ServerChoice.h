#pragma once
// Which echo server the window tests against: the one named on the command line, else the last
// one used, which the window keeps in the user's settings (one key, nothing else), else none
// yet: then the person is asked for one, since a server on this computer tests no router.
#include <QSettings>
#include <memory>
#include <string>

// The user's settings of the tester (~/.config/nat-sip-alg-tester/nat-sip-alg-tester.conf on
// Linux).
std::unique_ptr<QSettings> UserSettings();

// The server the field starts with: `argument` when there is one, else the one remembered.
std::string InitialEchoServer(const std::string& argument, const QSettings& settings);
// Keeps `server` as the last one used.
void RememberEchoServer(QSettings& settings, const std::string& server);

// The field's text, made fit to start with: blanks around it taken off, and a host named as a
// URL ("http://host/") taken out of it.
std::string CleanEchoServer(const std::string& text);

// What the field shows while empty, its tool tip, and the box that asks for a server when
// "Start test" finds the field empty.
extern const char kEchoServerPlaceholder[];
extern const char kEchoServerTip[];
extern const char kEchoServerAsk[];
