namespace quelt { namespace { [[maybe_unused]] int placeholder_unit() { return 0; } } }
