// Placeholder until the device side lands.
