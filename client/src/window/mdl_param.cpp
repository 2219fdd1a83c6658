#include "window/mdl_param.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <dlfcn.h>
#include <time.h>

namespace tessary::mdlParam {

namespace {

struct Exports {
    decltype(&::InitClient) initClient = nullptr;
    decltype(&::DeallocEnv) deallocEnv = nullptr;
    decltype(&::StartRecord) startRecord = nullptr;
    decltype(&::StopRecord) stopRecord = nullptr;
    decltype(&::GetBufLen) getBufLen = nullptr;
    decltype(&::GetParam) getParam = nullptr;
    decltype(&::GetPacketHead) getPacketHead = nullptr;
    decltype(&::SetPacketHead) setPacketHead = nullptr;
    decltype(&::Test) test = nullptr;
};

Exports g_exports;
bool g_bound = false;

template <typename F>
void Resolve(void *handle, const char *name, F &target, QStringList &missing) {
    target = reinterpret_cast<F>(dlsym(handle, name));
    if (target == nullptr) missing << QString::fromLatin1(name);
}

}  // namespace

QStringList LibraryFolders() {
    QStringList folders;
    if (QCoreApplication::instance() != nullptr) folders << QCoreApplication::applicationDirPath();
    folders << QStringLiteral(TESSARY_INSTALLED_LIBDIR);
    return folders;
}

bool Bind(QString *error) { return g_bound || BindFrom(LibraryFolders(), error); }

bool BindFrom(const QStringList &folders, QString *error) {
    if (g_bound) return true;
    void *handle = nullptr;
    QStringList tried;
    QString lastError;
    for (const QString &folder : folders) {
        if (!QDir::isAbsolutePath(folder)) continue;  // never the current directory
        const QString path = QDir(folder).absoluteFilePath(QString::fromLatin1(kLibraryName));
        tried << path;
        if (!QFileInfo::exists(path)) continue;
        handle = dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
        if (handle != nullptr) break;
        lastError = QString::fromLocal8Bit(dlerror());
    }
    if (handle == nullptr) {
        if (error != nullptr) {
            *error = QStringLiteral("The library %1 cannot be loaded.\nLooked for: %2")
                         .arg(QString::fromLatin1(kLibraryName), tried.join(QStringLiteral(", ")));
            if (!lastError.isEmpty()) *error += QStringLiteral("\n") + lastError;
        }
        return false;
    }

    Exports found;
    QStringList missing;
    Resolve(handle, "InitClient", found.initClient, missing);
    Resolve(handle, "DeallocEnv", found.deallocEnv, missing);
    Resolve(handle, "StartRecord", found.startRecord, missing);
    Resolve(handle, "StopRecord", found.stopRecord, missing);
    Resolve(handle, "GetBufLen", found.getBufLen, missing);
    Resolve(handle, "GetParam", found.getParam, missing);
    Resolve(handle, "GetPacketHead", found.getPacketHead, missing);
    Resolve(handle, "SetPacketHead", found.setPacketHead, missing);
    Resolve(handle, "Test", found.test, missing);
    if (!missing.isEmpty()) {
        if (error != nullptr) {
            *error = QStringLiteral("The library %1 lacks the function%2 %3.")
                         .arg(QString::fromLatin1(kLibraryName),
                              missing.size() > 1 ? QStringLiteral("s") : QString(),
                              missing.join(QStringLiteral(", ")));
        }
        dlclose(handle);
        return false;
    }
    g_exports = found;
    g_bound = true;  // stays loaded until the program ends
    return true;
}

bool IsBound() { return g_bound; }

int32_t InitClient(const VantrelHost *host, int32_t timerPeriod, int32_t ncep,
                   int32_t windowLength, int32_t frameShift, int32_t captureMs) {
    return g_exports.initClient(host, timerPeriod, ncep, windowLength, frameShift, captureMs);
}
int32_t DeallocEnv() { return g_exports.deallocEnv(); }
int32_t StartRecord() { return g_exports.startRecord(); }
int32_t StopRecord() { return g_exports.stopRecord(); }
int32_t GetBufLen() { return g_exports.getBufLen(); }
int32_t GetParam(uint8_t *packet, int32_t size) { return g_exports.getParam(packet, size); }
int32_t GetPacketHead(const uint8_t *packet, char *type, int32_t *number, int32_t *length) {
    return g_exports.getPacketHead(packet, type, number, length);
}
int32_t SetPacketHead(uint8_t *packet, const char *type, const int32_t *number,
                      const int32_t *length) {
    return g_exports.setPacketHead(packet, type, number, length);
}
packet::HeadCodec HeadCodec() { return {&SetPacketHead, &GetPacketHead}; }
int32_t Test(const int16_t *samples, int32_t count) { return g_exports.test(samples, count); }

int32_t GetTickCount() {
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    const auto ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<int32_t>(static_cast<uint32_t>(ms));
}

}  // namespace tessary::mdlParam
