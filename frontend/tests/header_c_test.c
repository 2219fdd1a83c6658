/* The public header compiles as C and its functions link from C. */
#include "vantrel.h"

#include <stdio.h>
#include <string.h>

int main(void) {
    uint8_t packet[VANTREL_PACKET_HEAD_SIZE];
    int32_t number = -7, length = 2036, n2 = 0, l2 = 0;
    char type[4];
    SetPacketHead(packet, "DATA", &number, &length);
    GetPacketHead(packet, type, &n2, &l2);
    if (memcmp(type, "DATA", 4) != 0 || n2 != -7 || l2 != 2036) {
        fprintf(stderr, "head did not round-trip through the C interface\n");
        return 1;
    }
    if (OpenSoundCardOut(NULL, 0) != 0 || CloseSoundCardOut() != 0) {
        fprintf(stderr, "playback with nothing to play did not return 0\n");
        return 1;
    }
    return 0;
}
