/* A stand-in for a broken installation: a libvantrel.so.0 that has the head
 * codec but none of the capture functions. */
#include <stdint.h>

__attribute__((visibility("default"))) int32_t SetPacketHead(uint8_t *packet, const char *type,
                                                             const int32_t *number, const int32_t *length) {
    (void)packet, (void)type, (void)number, (void)length;
    return 0;
}

__attribute__((visibility("default"))) int32_t GetPacketHead(const uint8_t *packet, char *type,
                                                             int32_t *number, int32_t *length) {
    (void)packet, (void)type, (void)number, (void)length;
    return 0;
}

__attribute__((visibility("default"))) int32_t InitClient(const void *host, int32_t a, int32_t b, int32_t c,
                                                          int32_t d, int32_t e) {
    (void)host, (void)a, (void)b, (void)c, (void)d, (void)e;
    return 0;
}
