#pragma once

#include <QString>

namespace parvolo {

// COMn resolves to the symlink "COMn" in the port map directory when one exists, else to
// /dev/ttyS<n-1>. The map directory is $PARVOLO_PORT_DIR, else ~/.config/parvolo/ports.
QString portMapDirectory();
QString resolvePortPath(int portNumber);

}  // namespace parvolo
