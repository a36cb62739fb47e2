// The firmware image's stage table and the flash address plan.
#ifndef LUMORA_USB_IMAGE_H
#define LUMORA_USB_IMAGE_H

extern const unsigned int FLASH_ADDRS_64[6];
extern const unsigned int FLASH_ADDRS_32[6];
// Stage k writes entry ADDR_INDEX[k].
extern const unsigned int ADDR_INDEX[6];

enum { LM_STAGE_COUNT = 6, LM_STAGE_TABLE_OFFSET = 64, LM_STAGE_TABLE_END = 112 };

// One stage of the plan, in stage order.
struct lm_stage {
    unsigned int entry;        // table entry written by this stage
    unsigned int addrs;        // flash address
    const unsigned char* data; // block inside the image; null when absent
    int len;                   // block length in bytes; 0 when absent
    int present;               // 1 when the entry has an offset and a length > 0
};

struct lm_stage_plan {
    int stagenum;                       // number of present entries
    lm_stage stages[LM_STAGE_COUNT];    // indexed by stage k
};

// Reads the stage table of an image of image_len bytes for a reader of the
// given variant. Returns 0 with the plan filled, or -1 when the image is
// invalid: shorter than the table, a negative length, or a block that
// reaches outside the image. Nothing outside [image, image + image_len) is read.
int lm_read_stage_plan(const char* image, int image_len, int variant, lm_stage_plan* plan);

#endif
