// NyxCalLib: the coordinate core. (Skeleton: the full interface is being built.)
#pragma once

// Masks the camera unit applies to every spot record (XOR of the u and v words)
// and the offset whose cube masks each word of the background block.
#define SPOT_MASK_U 0x5A3C
#define SPOT_MASK_V 0x36C9
#define BD0_MASK_OFFSET 37

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    int N;
    double x;
    double y;
    int oe;
} SPOT_TYPE;

#ifdef __cplusplus
}
#endif
