// The sound server's client libraries (and ALSA's plugin that loads them)
// are not built with the thread sanitizer: their own atomics and lock-free
// lists are invisible to it, so what it reports inside them is noise. Our
// code gets no such pass. The sanitizer reads this at start-up; other builds
// never call it.
extern "C" const char* __tsan_default_suppressions() {
  // Matched against the module of any frame: ALSA unloads the plugin, which
  // rules out library-wide suppressions.
  return "race:libpulsecommon-16.1.so\n"
         "race:libpulse.so.0\n"
         "race:libasound_module_pcm_pulse.so\n";
}
