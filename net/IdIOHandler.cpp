#include "net/IdIOHandler.h"

void TIdIOHandler::ConnectLink(const std::string&, int, const std::string&, int, int, int, int) {}
