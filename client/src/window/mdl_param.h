// mdlParam: the functions of the front-end library libvantrel, bound by name
// at run time, and the system's millisecond tick count.
//
// The library is loaded on the first call that needs it (InitClient while the
// window loads), from the program's own folder or else the installed library
// folder; never from the current directory. Once loaded it stays loaded until
// the program ends. All calls run on the window's thread.
#pragma once

#include "packet/packet.h"
#include "vantrel.h"

#include <QString>
#include <QStringList>

#include <cstdint>

namespace tessary::mdlParam {

inline constexpr const char *kLibraryName = "libvantrel.so.0";

// The folders searched, in order: the program's folder, then the installed
// library folder.
QStringList LibraryFolders();

// Loads the library and resolves every export the program uses, once. On
// failure returns false and sets error to a message that names the library
// and what is missing; a later call tries again.
bool Bind(QString *error);
// The same, searching the given folders (absolute paths) only.
bool BindFrom(const QStringList &folders, QString *error);
bool IsBound();

// The library's functions; Bind must have succeeded.
int32_t InitClient(const VantrelHost *host, int32_t timerPeriod, int32_t ncep,
                   int32_t windowLength, int32_t frameShift, int32_t captureMs);
int32_t DeallocEnv();
int32_t StartRecord();
int32_t StopRecord();
int32_t GetBufLen();
int32_t GetParam(uint8_t *packet, int32_t size);
int32_t GetPacketHead(const uint8_t *packet, char *type, int32_t *number, int32_t *length);
int32_t SetPacketHead(uint8_t *packet, const char *type, const int32_t *number,
                      const int32_t *length);
// The library's head codec (SetPacketHead, GetPacketHead) for the packet
// module; Bind must have succeeded before it is used.
packet::HeadCodec HeadCodec();
// The offline analysis; the program itself does not use it.
int32_t Test(const int16_t *samples, int32_t count);

// Milliseconds since the system started, as a 32-bit count read as signed:
// it passes from 2147483647 to -2147483648 after about 24.8 days.
int32_t GetTickCount();

}  // namespace tessary::mdlParam
