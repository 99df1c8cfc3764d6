/* A stand-in for the compiler's link-time plugin. The wrappers never read it;
   the host tools load it and find nothing to register, which is harmless. */
const char vesk_demo_plugin_note[] = "stand-in link-time plugin for the vesk demo";
