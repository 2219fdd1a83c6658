/* A program of someone else's, built against an installed vantrel: it writes
 * a packet head with SetPacketHead, reads it back with GetPacketHead and
 * checks every field and byte. Exit status 0 when all agree. */
#include <stdio.h>
#include <string.h>
#include <vantrel.h>

int main(void) {
    uint8_t packet[VANTREL_PACKET_HEAD_SIZE];
    const uint8_t expected[VANTREL_PACKET_HEAD_SIZE] = {'D', 'A', 'T', 'A', 0x04, 0x03, 0x02, 0x01,
                                                        0xfe, 0xff, 0xff, 0xff};
    const int32_t number = 0x01020304, length = -2;
    char type[4];
    int32_t readNumber = 0, readLength = 0;
    memset(packet, 0, sizeof packet);
    if (SetPacketHead(packet, "DATA", &number, &length) != 0 ||
        GetPacketHead(packet, type, &readNumber, &readLength) != 0) {
        fprintf(stderr, "consumer: a head function failed\n");
        return 1;
    }
    if (memcmp(packet, expected, sizeof packet) != 0 || memcmp(type, "DATA", 4) != 0 ||
        readNumber != number || readLength != length) {
        fprintf(stderr, "consumer: the head did not come back as written\n");
        return 1;
    }
    printf("consumer: head round trip through libvantrel ok\n");
    return 0;
}
