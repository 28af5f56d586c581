/* The libraries of the planting tests, built twice: VALUE 1 is the
   payload's copy, VALUE 2 the one someone left beside the launcher or in the
   current folder. Written as helper.dll, plugin.dll and absent.dll. */
__declspec(dllexport) int helper_fn(void) { return VALUE; }
__declspec(dllexport) int plugin_fn(void) { return VALUE; }
