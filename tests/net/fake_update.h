// Test double of the device facade: the network tests choose the variant.
#ifndef LUMORA_TESTS_NET_FAKE_UPDATE_H
#define LUMORA_TESTS_NET_FAKE_UPDATE_H

// What lm_update::get_lumora_buffer_size answers (64, 32 or -1).
void fake_update_set_variant(int variant);

#endif
