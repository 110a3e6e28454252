#include "stand_in_text.hpp"
#include "thread_sanitizer.hpp"

#include <obs.hpp>

#include <mutex>

namespace standin {

namespace {

struct Text {
	std::mutex mutex;
	QStringList updates;
};

const char *getName(void *)
{
	return "Stand-in text source";
}

void *create(obs_data_t *, obs_source_t *)
{
	return new Text;
}

void destroy(void *data)
{
	delete static_cast<Text *>(data);
}

void update(void *data, obs_data_t *settings)
{
	QString text;
	{
		// The source's own settings on libobs's graphics thread, as the real text source reads them.
		testhost::UncheckedAccesses unchecked;
		text = QString::fromUtf8(obs_data_get_string(settings, "text"));
	}
	auto *t = static_cast<Text *>(data);
	std::lock_guard<std::mutex> lock(t->mutex);
	t->updates << text;
}

obs_properties_t *properties(void *)
{
	obs_properties_t *props = obs_properties_create();
	obs_properties_add_text(props, "text", "Text", OBS_TEXT_MULTILINE);
	return props;
}

uint32_t size(void *)
{
	return 0;
}

void render(void *, gs_effect_t *) {}

Text *of(obs_source_t *source)
{
	return static_cast<Text *>(obs_obj_get_data(source));
}

} // namespace

void registerTextSourceType()
{
	obs_source_info info = {};
	info.id = "text_ft2_source";
	info.version = 2;
	info.type = OBS_SOURCE_TYPE_INPUT;
	info.output_flags = OBS_SOURCE_VIDEO;
	info.get_name = getName;
	info.create = create;
	info.destroy = destroy;
	info.update = update;
	info.get_properties = properties;
	info.get_width = size;
	info.get_height = size;
	info.video_render = render;
	obs_register_source(&info);
}

obs_source_t *createText(const char *name, const char *text)
{
	OBSDataAutoRelease settings = obs_data_create();
	obs_data_set_string(settings, "text", text);
	obs_source_t *source = obs_source_create("text_ft2_source_v2", name, settings, nullptr);
	return source;
}

QStringList textUpdates(obs_source_t *source)
{
	Text *t = of(source);
	std::lock_guard<std::mutex> lock(t->mutex);
	return t->updates;
}

void clearTextUpdates(obs_source_t *source)
{
	Text *t = of(source);
	std::lock_guard<std::mutex> lock(t->mutex);
	t->updates.clear();
}

QString textOf(obs_source_t *source)
{
	OBSDataAutoRelease settings = obs_source_get_settings(source);
	const QString text = QString::fromUtf8(obs_data_get_string(settings, "text"));
	return text;
}

} // namespace standin
