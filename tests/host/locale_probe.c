/* A module with no behaviour of its own: the test host opens it only to get a libobs module handle
 * whose data folder is the repository's, so that the plug-in code linked into a test can load its
 * real locale files. */
#include <obs-module.h>

static obs_module_t *probe_module;

MODULE_EXPORT void obs_module_set_pointer(obs_module_t *module)
{
	probe_module = module;
}

MODULE_EXPORT uint32_t obs_module_ver(void)
{
	return LIBOBS_API_VER;
}

MODULE_EXPORT bool obs_module_load(void)
{
	return true;
}
