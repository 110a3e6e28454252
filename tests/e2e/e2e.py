#!/usr/bin/env python3
"""End-to-end scenarios: the freshly built module inside the real OBS Studio.

    e2e.py --module <OBS-Tracklane.so> --data <data dir> --work <dir> Scenario [Scenario...]

Each scenario prepares a fresh OBS configuration home in the work directory (kept there for
inspection after a failure), starts OBS under an X server of its own in a network namespace with
only loopback, drives it through obs-websocket and the X display, stops it with SIGINT and reads
what OBS left behind: its log, its console and the saved scene collection.
"""

import argparse
import ctypes
import os
import re
import signal
import sys
import threading
import time
import unittest
import uuid

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import obs_harness as h  # noqa: E402

ARGS = None
STATE_KEY = "OBS-Tracklane"


class ObsRun:
	"""What one OBS run showed and left behind."""

	def __init__(self, home, collection):
		self.home = home
		self.collection = collection
		self.load_match = None
		self.dock_windows = []
		self.dock_geometry = None
		self.program_scene = None
		self.input_settings = None
		self.exit_code = None
		self.log = ""
		self.console = ""
		self.module_problems = []
		self.saved = None
		self.saved_while_running = None
		self.refusal = None
		self.windows_at_ready = None
		self.dock_before_menu = None
		self.docks_menu = None
		self.saved_dock = None
		self.seen = {}
		self.log_now = None
		self.host_fault = None
		self.host_faults = []

	def saved_source(self, name):
		for s in self.saved["sources"]:
			if s["name"] == name:
				return s
		raise AssertionError(f"the saved collection has no source {name!r}")


class HostCleanupFault(Exception):
	"""OBS could not clear a collection's sources on a collection switch."""


def host_faults_excused():
	"""Whether this OBS has the known faults of its own that a scenario may run again for.

	OBS 32.2.2 shows them also without this module (a failed collection clear on about 1 switch in
	8; leaked allocations at exit now and then); OBS 30.2.3 never showed either, so there every
	occurrence fails the scenario at once."""
	return h.obs_version() >= (32, 0, 0)


# A scenario hit by one of OBS's own faults runs again from a fresh home, at most this many times in
# all. A fault of the module's repeats on every run, and so still fails the scenario.
HOST_FAULT_ATTEMPTS = 4


def until_no_host_fault(attempt_run, host_fault_of):
	"""Runs attempt_run(attempt) until a run shows none of OBS's own faults; returns that run.

	host_fault_of(run) describes the run's host fault, or None. A run with a host fault must still
	show no warning or error of the module's, and a run of an OBS that has no such faults is never
	repeated."""
	faults = []
	for attempt in range(1, HOST_FAULT_ATTEMPTS + 1):
		run = attempt_run(attempt)
		fault = host_fault_of(run)
		if fault is None:
			run.host_faults = faults
			return run
		if not host_faults_excused():
			raise AssertionError(f"OBS {h.obs_version()} showed a fault it never shows on its own: {fault}")
		if run.module_problems:
			raise AssertionError(f"the module complained in a run that OBS's own fault cut short: {run.module_problems}")
		# After a failed clear OBS 32.2.2 may crash on its way out ("Double destroy just occurred"),
		# once every module is unloaded and it frees its own data; a crash before that is not excused.
		if run.exit_code != 0 and "Freeing OBS context data" not in run.log:
			raise AssertionError(f"OBS exited with {run.exit_code} before freeing its data, in a run cut short by "
					     f"its own fault ({fault})")
		faults.append(fault)
		print(f"[e2e] run {attempt}: OBS's own fault, running again from a fresh home: {fault}", file=sys.stderr,
		      flush=True)
	raise AssertionError(f"all {HOST_FAULT_ATTEMPTS} runs hit a fault that OBS {h.obs_version()} also shows without "
			     f"this module; one that comes every time is the module's: {faults}")


def exit_leak_fault(run):
	"""OBS 32's leaked allocations at exit, after every module was unloaded and after the collection's
	sources were all cleared; None when there were none (or when the module held a source)."""
	leaks = h.LEAKS_LINE.search(run.log)
	if not leaks or int(leaks.group(1)) == 0:
		return None
	exit_part = run.log.split("==== Shutting down")[-1]
	if h.cleanup_fault(exit_part) or "All scene data cleared" not in exit_part:
		return None  # the sources were not all released at exit: never excused
	return f"{leaks.group(0)} at exit"


def switch_collection(ws, x, run, collection, source_name, timeout=30):
	"""Switches to a collection and waits until its source is there; returns that source's settings.

	Raises HostCleanupFault when OBS logs that it could not clear the collection it left, after
	pressing OK on the box OBS opens for it."""
	try:
		ws.set_collection(collection)
	except Exception:
		# The answer waits for the switch, which OBS's box holds up; anything else is a failure.
		if not h.cleanup_fault(run.log_now()):
			raise

	def loaded():
		fault = h.cleanup_fault(run.log_now())
		if fault:
			return ("fault", fault)
		try:
			return ("settings", ws.input_settings(source_name))
		except Exception:  # not loaded yet, or OBS busy with its box
			return None

	kind, value = h.wait_until(loaded, timeout, f"the collection {collection!r} to load", interval=0.2)
	if kind == "fault":
		box = h.dismiss_cleanup_error(x.display, timeout=15)
		raise HostCleanupFault(f"switching to {collection!r}: {value!r}; "
				       f"{'the' if box else 'no'} {h.CLEANUP_ERROR_TITLE!r} box")
	return value


def run_obs(home, setup, during=None, module_loads=True, dock_from_menu=False):
	"""Starts OBS on a prepared home, waits until it has finished loading, lets during(ws, x, run)
	act, then stops it and collects the results.

	dock_from_menu: the home holds no window state showing the dock; an operator shows it from the
	Docks menu and drags it to where a prepared window state would have put it."""
	run = ObsRun(home, setup["collection"])
	with h.Xvfb() as x, h.Obs(home, x.display, collection=setup["collection"]) as obs:
		run.obs = obs
		run.log_now = obs.log_text
		try:
			if module_loads:
				run.load_match = obs.wait_for_module(timeout=60)
			else:
				run.refusal = obs.wait_for_log(h.REFUSAL_LINE, 60, fail_pattern=h.LOAD_LINE)
			with h.ObsWebSocket() as ws:
				ws.connect(obs, timeout=60)
				ws.wait_ready(obs, timeout=60)
				# Every window titled like the dock, shown or not, once OBS has finished loading. OBS 32
				# has been seen (once in about 30 runs) to answer as ready a moment before the hidden
				# dock's window exists; a refused module gets the same moment to show one.
				if module_loads:
					run.windows_at_ready = h.wait_for_window(x.display, h.MODULE, timeout=5, only_visible=False)
				else:
					time.sleep(2)
					run.windows_at_ready = h.visible_windows(x.display, h.MODULE, only_visible=False)
				if module_loads:
					if dock_from_menu:
						run.dock_before_menu = h.visible_windows(x.display, h.MODULE)
						run.docks_menu = h.show_dock_from_docks_menu(x.display)
					run.dock_windows = h.wait_for_window(x.display, h.MODULE, timeout=15)
					if dock_from_menu and run.dock_windows:
						h.place_window(x.display, run.dock_windows[0], h.DOCK_GEOMETRY)
				else:
					run.dock_windows = h.visible_windows(x.display, h.MODULE)
				if run.dock_windows:
					run.dock_geometry = h.window_geometry(x.display, run.dock_windows[0])
				run.program_scene = ws.program_scene()
				run.input_settings = ws.input_settings(setup["source_name"])
				if during:
					try:
						during(ws, x, run)
					except HostCleanupFault as e:
						run.host_fault = str(e)
		finally:
			if run.host_fault:
				# OBS may open its box again on the way out; whatever it does, this run is over.
				obs.proc.send_signal(signal.SIGINT)
				for _ in range(3):
					if not h.dismiss_cleanup_error(x.display, timeout=10):
						break
				try:
					obs.stop(timeout=20)
				except h.HarnessError:
					pass
			run.exit_code = obs.stop(timeout=30)
			run.log = obs.log_text()
			run.console = obs.console_text()
			run.module_problems = obs.module_lines()
	run.saved = h.read_collection(home, setup["collection"])
	run.saved_dock = h.saved_dock_state(home)
	return run


def saved_state_on_disk(home, collection, source_uuid):
	"""The dock state of a source in the collection file as it is on disk now, or None."""
	try:
		data = h.read_collection(home, collection)
	except (OSError, ValueError):
		return None  # not written yet, or caught between OBS's write and rename
	for s in data["sources"]:
		if s["uuid"] == source_uuid:
			return s.get("private_settings", {}).get(STATE_KEY)
	return None


def wait_for_saved_state(home, setup, predicate, timeout, what):
	"""Waits until the collection file holds a dock state for the setup's source that satisfies
	predicate; returns it, or None when it did not come within timeout seconds."""

	def look():
		state = saved_state_on_disk(home, setup["collection"], setup["source_uuid"])
		return state if state is not None and predicate(state) else None

	try:
		return h.wait_until(look, timeout, what, interval=0.1)
	except h.HarnessError:
		return None


def settle(read, expected, timeout):
	"""Reads until the value equals expected or timeout seconds passed; returns the last value read,
	so that a test can compare it and show what it saw instead."""
	deadline = time.monotonic() + timeout
	while True:
		value = read()
		if value == expected or time.monotonic() >= deadline:
			return value
		time.sleep(0.1)


PLAYING = "OBS_MEDIA_STATE_PLAYING"
OVER = ("OBS_MEDIA_STATE_ENDED", "OBS_MEDIA_STATE_STOPPED")


def media_state(ws, name):
	return ws.request("GetMediaInputStatus", {"inputName": name})["mediaState"]


def watch_track_start(ws, name, timeout=20):
	"""Watches the source until it plays; returns the media states seen, in order, and the source's
	settings read right after it was first seen playing (None if it never played)."""
	states = []
	deadline = time.monotonic() + timeout
	while time.monotonic() < deadline:
		state = media_state(ws, name)
		if not states or states[-1] != state:
			states.append(state)
		if state == PLAYING:
			return states, ws.input_settings(name)
		# VLC runs these short tracks faster than real time here: poll often to see them play.
		time.sleep(0.03)
	return states, None


def wait_until_over(ws, name, timeout=30):
	"""Waits until the source's track is over (ended, or stopped by the dock); returns the last state
	seen either way."""
	seen = []

	def over():
		seen.append(media_state(ws, name))
		return seen[-1] in OVER

	try:
		h.wait_until(over, timeout, "the track to be over")
	except h.HarnessError:
		pass
	return seen[-1]


def playlist_values(settings):
	return [e["value"] for e in settings.get("playlist", [])]


def fresh_setup(name, **kwargs):
	media = h.generate_media(os.path.join(ARGS.work, "media"))
	home = os.path.join(ARGS.work, name)
	setup = h.prepare_home(home, ARGS.module, ARGS.data, media, **kwargs)
	return home, media, setup


class Load(unittest.TestCase):
	"""OBS loads the module into a profile that has never shown its dock; the operator shows the
	dock from the Docks menu; OBS shuts down cleanly, with nothing to complain about."""

	@classmethod
	def setUpClass(cls):
		def attempt(n):
			cls.home, cls.media, cls.setup = fresh_setup("load" if n == 1 else f"load-{n}", show_dock=False)
			return run_obs(cls.home, cls.setup, during=cls.look_at_the_transport_row, dock_from_menu=True)

		cls.result = until_no_host_fault(attempt, exit_leak_fault)

	# The transport row (previous, play, stop, next) runs along the dock's bottom edge, its four
	# buttons within this many pixels of the dock's left edge, the seek slider after them.
	TRANSPORT_ROW = (100, 40)

	@classmethod
	def look_at_the_transport_row(cls, ws, x, run):
		if not run.dock_geometry:
			return
		# Let the freshly shown dock paint once.
		time.sleep(1.0)
		shot = h.screenshot(x.display, os.path.join(cls.home, "dock-shown.png"))
		left, top, _, height = run.dock_geometry
		width, strip = cls.TRANSPORT_ROW
		runs = h.light_runs(h.gray_pixels(shot, (left, top + height - strip, width, strip)))
		# An icon may be drawn in parts (the bar of previous and next); parts close together are one.
		icons = []
		for first, last in runs:
			if icons and first - icons[-1][1] <= 4:
				icons[-1] = (icons[-1][0], last)
			else:
				icons.append((first, last))
		run.seen["transport_icons"] = icons

	def test_tool_buttons_show_their_icons(self):
		# The buttons carry only OBS's icon classes (icon-media-play, ...); a theme without rules for
		# them, or a wrong class, leaves them as blank squares of one colour.
		if h.obs_version() < (31, 0, 0):
			self.skipTest("OBS 30's themes style buttons by themeID and have no rules for the icon classes")
		icons = self.result.seen.get("transport_icons")
		self.assertIsNotNone(icons, "the dock was not on the screen")
		self.assertEqual(len(icons), 4, f"expected the icons of previous, play, stop and next; light parts at {icons} "
				 f"(picture: {os.path.join(self.home, 'dock-shown.png')})")

	def test_load_line_names_version_and_runtime_qt(self):
		self.assertEqual(self.result.load_match.group(1), h.MODULE_VERSION)
		# obs-websocket reports the Qt runtime too: an independent witness of the version.
		qt = re.search(r"Qt version \(run-time\): (\S+)", self.result.log)
		self.assertIsNotNone(qt, "obs-websocket's Qt line is missing from the log")
		self.assertEqual(self.result.load_match.group(2), qt.group(1))
		self.assertEqual(len(h.LOAD_LINE.findall(self.result.log)), 1, "the module loaded more than once")

	def test_dock_starts_hidden_and_the_docks_menu_shows_it(self):
		# The counterpart of the refused module's check: the dock's window exists by the time OBS
		# has finished loading, and a fresh profile keeps it hidden until the operator asks.
		self.assertNotEqual(self.result.windows_at_ready, [])
		self.assertEqual(self.result.dock_before_menu, [], "the dock was visible before the Docks menu was used")
		self.assertEqual(len(self.result.dock_windows), 1, "expected exactly one visible window titled OBS-Tracklane")
		self.assertIn(self.result.dock_windows[0], self.result.windows_at_ready)
		_, _, width, height = self.result.dock_geometry
		self.assertGreater(width, 100)
		self.assertGreater(height, 100)
		self.assertIn("OBS-Tracklane.so", self.result.log.split("Loaded Modules:")[1].split("----")[0])

	def test_obs_remembers_the_shown_dock_under_its_id(self):
		# OBS keeps its window layout by object name at exit: the dock is found under its id,
		# shown and floating where the operator left it, so the next start shows it again.
		self.assertEqual(self.result.saved_dock, (True, True, h.DOCK_GEOMETRY))

	def test_no_warning_or_error_from_the_module(self):
		# The levels come from OBS's console; the load line must be seen there at info level,
		# or the check below would pass on a console that was never read.
		self.assertRegex(self.result.console, r"(?m)^info: \[OBS-Tracklane\] 1\.2\.0 loaded;")
		self.assertEqual(self.result.module_problems, [])

	def test_clean_shutdown(self):
		self.assertEqual(self.result.exit_code, 0)
		self.assertIn("==== Shutting down", self.result.log)
		self.assertIn("Freeing OBS context data", self.result.log)
		# A source reference still held by the module when OBS clears the collection shows up here.
		self.assertNotIn("Not all sources were cleared", self.result.log)
		self.assertNotRegex(self.result.log, r"Number of memory leaks: [1-9]")


class Binding(unittest.TestCase):
	"""At start-up the dock binds the source named in its settings and imports its playlist; the
	state travels with the source in the saved collection and survives a restart."""

	@classmethod
	def setUpClass(cls):
		cls.home, cls.media, cls.setup = fresh_setup("binding")
		cls.first = run_obs(cls.home, cls.setup, during=cls.wait_for_save_on_disk)
		cls.second = run_obs(cls.home, cls.setup)

	@classmethod
	def wait_for_save_on_disk(cls, ws, x, run):
		# The dock asks OBS to save the collection after binding; look for the state on disk
		# while OBS still runs, before the save that OBS makes at exit hides a missing request.
		found = wait_for_saved_state(cls.home, cls.setup, lambda state: True, 15, "the dock state on disk")
		run.saved_while_running = found is not None

	def state(self, run):
		source = run.saved_source(self.setup["source_name"])
		self.assertEqual(source["uuid"], self.setup["source_uuid"])
		private = source.get("private_settings", {})
		self.assertIn(STATE_KEY, private, "no dock state in the source's private settings")
		return private[STATE_KEY]

	def test_first_binding_imports_the_playlist_with_the_folder_expanded(self):
		state = self.state(self.first)
		self.assertEqual(state["version"], 1)
		expected = self.media["files"] + self.media["folder_files"]
		self.assertEqual([t["value"] for t in state["tracks"]], expected)
		self.assertEqual([o["value"] for o in state["observed"]], self.setup["playlist"])
		self.assertIs(state["managed"], False)
		self.assertEqual(state["current"], "")
		self.assertIs(state["originalLoop"], True)
		self.assertIs(state["originalShuffle"], False)
		self.assertEqual(state["originalBehavior"], "stop_restart")
		self.assertEqual(state["endMode"], 0)

	def test_binding_asks_obs_to_save_the_collection(self):
		self.assertIs(self.first.saved_while_running, True,
			      "the collection on disk never held the dock state while OBS ran")

	def test_track_ids_are_distinct_uuids_without_braces(self):
		ids = [t["id"] for t in self.state(self.first)["tracks"]]
		self.assertEqual(len(set(ids)), len(ids))
		for i in ids:
			self.assertEqual(len(i), 36, i)
			self.assertEqual(str(uuid.UUID(i)), i.lower())

	def test_binding_leaves_the_source_and_the_program_scene_alone(self):
		for run in (self.first, self.second):
			self.assertEqual([e["value"] for e in run.input_settings["playlist"]], self.setup["playlist"])
			self.assertIs(run.input_settings["loop"], True)
			self.assertEqual(run.program_scene, "Backstage")

	def test_restart_trusts_the_saved_list(self):
		first = self.state(self.first)
		second = self.state(self.second)
		self.assertEqual(second["tracks"], first["tracks"])
		self.assertEqual(second["observed"], first["observed"])

	def test_no_warning_or_error_from_the_module(self):
		self.assertEqual(self.first.module_problems, [])
		self.assertEqual(self.second.module_problems, [])
		self.assertEqual((self.first.exit_code, self.second.exit_code), (0, 0))


def track_paths(media):
	"""The dock's track list after importing the prepared playlist: the folder expanded in place."""
	return media["files"] + media["folder_files"]


def wait_for_bound_dock(ws, track_count, timeout=20):
	"""Waits until the dock has bound its source and filled its list, as the vendor reports it: on a
	loaded machine OBS answers as ready a while before the dock has bound, and a click on a row
	before that finds no row."""
	def bound():
		status = ws.vendor_request(VENDOR, "GetStatus")
		return status.get("bound") is True and status.get("trackCount") == track_count
	h.wait_until(bound, timeout, "the dock to bind its source")


def operator(x, run):
	if not run.dock_windows:
		raise h.HarnessError("the dock's window is not visible; nothing to operate")
	return h.Operator(x.display, run.dock_windows[0])


class Play(unittest.TestCase):
	"""An operator shows the dock from the Docks menu and starts a track with Return in the track
	list: the source plays that track alone, and OBS brings up the scene that shows it (the preview
	scene in studio mode)."""

	@classmethod
	def setUpClass(cls):
		cls.home, cls.media, cls.setup = fresh_setup("play", show_dock=False)
		cls.result = run_obs(cls.home, cls.setup, during=cls.operate, dock_from_menu=True)

	@classmethod
	def operate(cls, ws, x, run):
		name = cls.setup["source_name"]
		op = operator(x, run)
		seen = run.seen
		wait_for_bound_dock(ws, len(track_paths(cls.media)))
		seen["program_before"] = ws.program_scene()
		op.click_row(0)  # gives the list the focus and selects the first track
		op.keys("Return")
		seen["states"], seen["settings"] = watch_track_start(ws, name)
		seen["program_after"] = settle(ws.program_scene, "Stage", 10)
		seen["over"] = wait_until_over(ws, name)

		ws.set_program_scene("Backstage")
		ws.set_studio_mode(True)
		seen["studio_preview_before"] = ws.request("GetCurrentPreviewScene")["currentPreviewSceneName"]
		op.keys("Return")
		seen["studio_states"], seen["studio_settings"] = watch_track_start(ws, name)
		seen["studio_preview"] = settle(lambda: ws.request("GetCurrentPreviewScene")["currentPreviewSceneName"],
						"Stage", 10)
		seen["studio_program"] = ws.program_scene()
		seen["saved"] = wait_for_saved_state(cls.home, cls.setup, lambda st: st["managed"] is True, 15,
						     "the dock state after the start")

	def test_source_holds_the_one_track_with_loop_and_shuffle_off(self):
		settings = self.result.seen["settings"]
		self.assertIsNotNone(settings, f"the source never played; states seen: {self.result.seen['states']}")
		self.assertEqual(playlist_values(settings), [self.media["files"][0]])
		self.assertIs(settings["loop"], False)
		self.assertIs(settings["shuffle"], False)
		self.assertEqual(settings["playback_behavior"], "always_play")

	def test_source_reaches_playing_and_ends(self):
		self.assertIn(PLAYING, self.result.seen["states"])
		self.assertIn(self.result.seen["over"], OVER)

	def test_program_scene_switches_to_the_scene_showing_the_source(self):
		self.assertEqual(self.result.seen["program_before"], "Backstage")
		self.assertEqual(self.result.seen["program_after"], "Stage")

	def test_studio_mode_switches_the_preview_and_leaves_the_program_alone(self):
		seen = self.result.seen
		self.assertEqual(seen["studio_preview_before"], "Backstage")
		self.assertIsNotNone(seen["studio_settings"], f"no second start; states: {seen['studio_states']}")
		self.assertEqual(playlist_values(seen["studio_settings"]), [self.media["files"][0]])
		self.assertEqual(seen["studio_preview"], "Stage")
		self.assertEqual(seen["studio_program"], "Backstage")

	def test_saved_state_marks_the_started_track_current(self):
		state = self.result.seen["saved"]
		self.assertIsNotNone(state, "the collection on disk never showed the dock managing the source")
		first = state["tracks"][0]
		self.assertEqual(first["value"], self.media["files"][0])
		self.assertEqual(state["current"], first["id"])
		self.assertIs(state["originalLoop"], True)
		self.assertEqual(state["originalBehavior"], "stop_restart")
		self.assertEqual(self.result.module_problems, [])
		self.assertEqual(self.result.exit_code, 0)


class OnAir(unittest.TestCase):
	"""What goes on air, in OBS's own recording of its output: a script that starts the next track the
	moment the dock reports the last one over (end mode stop) cuts none of it; a stream whose length
	VLC cannot tell goes on to the next track in end mode next; and the operator's Stop silences the
	source at once."""

	STREAM_PORT = 8765

	@classmethod
	def setUpClass(cls):
		media_dir = os.path.join(ARGS.work, "media")
		cls.home, cls.media, cls.setup = fresh_setup("onair")
		cls.stream = h.stream_track(media_dir)
		cls.long = h.long_track(media_dir)
		cls.stream_url = f"http://127.0.0.1:{cls.STREAM_PORT}/live.mp3"
		cls.playlist = cls.media["files"] + [cls.stream_url, cls.long]
		# As the dock leaves a source it stopped at the end of its list: the source holds nothing to
		# play, so nothing sounds until the dock starts a track.
		data = h.read_collection(cls.home, cls.setup["collection"])
		for source in data["sources"]:
			if source["uuid"] == cls.setup["source_uuid"]:
				source["settings"].update(playlist=[], loop=False, playback_behavior="always_play")
				source["private_settings"][STATE_KEY] = {
					"version": 1, "tracks": [{"value": p, "id": str(uuid.uuid4())} for p in cls.playlist],
					"observed": [], "current": "", "managed": True, "originalLoop": True,
					"originalShuffle": False, "originalBehavior": "stop_restart", "endMode": 0}
		h.write_collection(cls.home, data)
		cls.recordings = os.path.join(cls.home, "recordings")
		h.record_to(cls.home, cls.recordings)
		cls.result = run_obs(cls.home, cls.setup, during=cls.operate)
		seen = cls.result.seen
		cls.stretches = h.tone_stretches(seen["recording"], [440, 550, 660, 330]) if seen.get("recording") else []

	@classmethod
	def operate(cls, ws, x, run):
		seen = run.seen
		server = h.StreamServer(cls.stream, cls.STREAM_PORT).start(run.obs)
		with h.ObsWebSocket(event_subscriptions=h.ObsWebSocket.VENDOR_EVENTS) as client:
			client.connect(run.obs, timeout=30)
			call = client.vendor_request
			seen["bound"] = settle(lambda: call(VENDOR, "GetStatus").get("bound"), True, 15)
			seen["tracks"] = [t["path"] for t in call(VENDOR, "GetTracks").get("tracks", [])]
			# Only the scene on the program output is heard.
			ws.set_program_scene("Stage")
			ws.request("StartRecord")
			# The recording's first moments are the encoders' start; nothing is judged there.
			time.sleep(1.0)

			def over(number):
				# The dock's own word that the track is over, and nothing else, starts the next one.
				started = client.wait_event(vendor_event("TrackStarted", lambda d: d.get("number") == number), 20)
				# What it reported before the start (the stop that began the switch) is not that word.
				client.events = [e for e in client.events if not vendor_event("PlaybackStateChanged")(e)]
				ended = started and client.wait_event(
					vendor_event("PlaybackStateChanged", lambda d: d.get("state") in OVER), 20)
				return bool(started and ended)

			call(VENDOR, "SetEndMode", {"mode": "stop"})
			seen["play_at"] = ws.request("GetRecordStatus")["outputDuration"] / 1000.0
			seen["first"] = call(VENDOR, "PlayTrack", {"number": 1})
			seen["first_over"] = over(1)
			seen["second"] = call(VENDOR, "PlayTrack", {"number": 2})
			seen["second_over"] = over(2)

			call(VENDOR, "SetEndMode", {"mode": "next"})
			seen["stream"] = call(VENDOR, "PlayTrack", {"number": 3})
			seen["stream_started"] = client.wait_event(
				vendor_event("TrackStarted", lambda d: d.get("number") == 3), 20) is not None
			seen["stream_playing"] = settle(lambda: media_state(ws, cls.setup["source_name"]), PLAYING, 10)
			seen["stream_duration"] = call(VENDOR, "GetStatus").get("durationMs")
			seen["advanced"] = client.wait_event(
				vendor_event("TrackStarted", lambda d: d.get("number") == 4), 20) is not None
			if not seen["advanced"]:
				# So that Stop is still tried on a playing track.
				call(VENDOR, "PlayTrack", {"number": 4})
				client.wait_event(vendor_event("TrackStarted", lambda d: d.get("number") == 4), 20)
			seen["requests"] = server.requests

			# Well into the long track, the operator stops it. How far the recording had got then is
			# what OBS says of its duration just before the request; OBS counts the frames its encoder
			# has handed on, a few behind what has been mixed, so the mark is early if anything.
			time.sleep(1.5)
			seen["stop_at"] = ws.request("GetRecordStatus")["outputDuration"] / 1000.0
			seen["stop"] = call(VENDOR, "Stop")
			# The request is answered once the dock has carried it out on OBS's UI thread.
			seen["stopped_at"] = ws.request("GetRecordStatus")["outputDuration"] / 1000.0
			time.sleep(2.5)
			seen["recording"] = ws.request("StopRecord").get("outputPath")
			# OBS asks before it exits while an output is still active; StopRecord answers before then.
			settle(lambda: ws.request("GetRecordStatus")["outputActive"], False, 15)
		server.close()

	def heard(self, frequency):
		return [(start, end) for f, start, end in self.stretches if f == frequency]

	def describe(self):
		return ", ".join(f"{f} Hz {start:.2f}-{end:.2f} s" for f, start, end in self.stretches)

	def test_end_mode_stop_reports_the_end_once_it_is_heard(self):
		seen = self.result.seen
		self.assertEqual(seen["tracks"], self.playlist)
		self.assertTrue(seen["first_over"] and seen["second_over"], "the dock never reported a track over")
		for frequency in (440, 550):
			heard = self.heard(frequency)
			self.assertEqual(len(heard), 1, self.describe())
			start, end = heard[0]
			self.assertAlmostEqual(end - start, h.TRACK_SECONDS, delta=0.15, msg=self.describe())

	def test_stream_of_unknown_length_goes_on_to_the_next_track(self):
		seen = self.result.seen
		self.assertIs(seen["stream_started"], True)
		self.assertEqual(seen["stream_playing"], PLAYING)
		self.assertEqual(seen["stream_duration"], 0)
		self.assertGreaterEqual(seen["requests"], 1)
		self.assertIs(seen["advanced"], True, "end mode next stayed on the stream")
		stream = self.heard(660)
		self.assertEqual(len(stream), 1, self.describe())
		self.assertAlmostEqual(stream[0][1] - stream[0][0], 2.0, delta=0.15, msg=self.describe())
		# The next track follows the stream's end.
		self.assertGreater(self.heard(330)[0][0], stream[0][1], self.describe())

	def test_stop_is_silent_on_air_at_once(self):
		seen = self.result.seen
		self.assertEqual(seen["stop"], {"success": True})
		long = self.heard(330)
		self.assertEqual(len(long), 1, self.describe())
		after = long[0][1] - seen["stop_at"]
		print(f"\nOnAir: the long track sounded at most {after * 1000:.0f} ms after Stop was asked for, "
		      f"{(long[0][1] - seen['stopped_at']) * 1000:.0f} ms after it was answered, in OBS's recording; "
		      f"the first track sounded {(self.heard(440)[0][0] - seen['play_at']) * 1000:.0f} ms after it was asked for "
		      f"({self.describe()})", file=sys.stderr)
		# VLC's lead alone sounds for more than a second after the request.
		self.assertLess(after, 0.4, self.describe())
		self.assertEqual(self.result.module_problems, [])
		self.assertEqual(self.result.exit_code, 0)


class OutsideEdit(unittest.TestCase):
	"""Someone else changes the source's playlist (here over obs-websocket, as the properties window
	would): the dock imports it as a fresh track list, with the source's options of that moment."""

	@classmethod
	def setUpClass(cls):
		cls.home, cls.media, cls.setup = fresh_setup("outside-edit")
		cls.new_playlist = [cls.media["files"][1], cls.media["folder"]]
		cls.result = run_obs(cls.home, cls.setup, during=cls.edit)

	@classmethod
	def edit(cls, ws, x, run):
		seen = run.seen
		seen["before"] = wait_for_saved_state(cls.home, cls.setup, lambda st: True, 15, "the first import")
		entries = [{"value": p, "hidden": False, "selected": False} for p in cls.new_playlist]
		ws.set_input_settings(cls.setup["source_name"], {"playlist": entries, "loop": False})
		seen["after"] = wait_for_saved_state(
			cls.home, cls.setup, lambda st: playlist_values({"playlist": st["observed"]}) == cls.new_playlist, 15,
			"the re-imported playlist on disk")
		seen["settings"] = ws.input_settings(cls.setup["source_name"])

	def test_dock_reimports_the_new_playlist_with_the_folder_expanded(self):
		after = self.result.seen["after"]
		self.assertIsNotNone(after, "the saved state never followed the outside edit")
		self.assertEqual([t["value"] for t in after["tracks"]], [self.media["files"][1]] + self.media["folder_files"])
		self.assertIs(after["managed"], False)
		self.assertEqual(after["current"], "")

	def test_reimport_gives_new_ids_and_captures_the_options_anew(self):
		before, after = self.result.seen["before"], self.result.seen["after"]
		self.assertIsNotNone(before)
		self.assertIsNotNone(after)
		self.assertIs(before["originalLoop"], True)
		self.assertIs(after["originalLoop"], False)
		old_ids = {t["id"] for t in before["tracks"]}
		new_ids = [t["id"] for t in after["tracks"]]
		self.assertEqual(len(set(new_ids)), len(new_ids))
		self.assertFalse(old_ids & set(new_ids), "a re-import must not keep the old track ids")

	def test_dock_leaves_the_edited_source_alone(self):
		settings = self.result.seen["settings"]
		self.assertEqual(playlist_values(settings), self.new_playlist)
		self.assertIs(settings["loop"], False)
		self.assertEqual(settings["playback_behavior"], "stop_restart")
		self.assertEqual(self.result.module_problems, [])


def with_playlist(home, setup, playlist):
	"""Gives the setup's source another playlist in the prepared collection."""
	data = h.read_collection(home, setup["collection"])
	for source in data["sources"]:
		if source["uuid"] == setup["source_uuid"]:
			source["settings"]["playlist"] = [{"value": p, "hidden": False, "selected": False} for p in playlist]
	h.write_collection(home, data)
	setup["playlist"] = playlist


def track_ids(tracks):
	return [(t["id"], t["path"]) for t in tracks]


CHANGED_OUTSIDE = "warning: [OBS-Tracklane] The media source was changed outside the dock; the track list is kept."


class PropertiesAnswered(unittest.TestCase):
	"""The source's Properties window opens while the dock plays a track, and is answered after the
	dock has moved on: with Cancel, which puts the settings it opened with back into the source's
	settings and leaves the source playing; and with Discard at its question, which updates the source
	with them, so that it starts that track again. The dock keeps every track with its id, goes on
	from what the source plays, and Restore still gives the source its own options."""

	@classmethod
	def setUpClass(cls):
		cls.home, cls.media, cls.setup = fresh_setup("properties-answered")
		media_dir = os.path.join(ARGS.work, "media")
		cls.first = h.long_track(media_dir)
		# Long enough to be still playing when the window has been answered, short enough to end soon.
		cls.second = h.tone_track(media_dir, 8, 500)
		cls.third = h.long_track(media_dir, frequency=420)
		with_playlist(cls.home, cls.setup, [cls.first, cls.second, cls.third] + cls.setup["playlist"])
		cls.whole = [cls.first, cls.second, cls.third] + track_paths(cls.media)
		cls.result = run_obs(cls.home, cls.setup, during=cls.operate)

	@classmethod
	def operate(cls, ws, x, run):
		name = cls.setup["source_name"]
		seen = run.seen

		def call(request, data=None):
			return ws.vendor_request(VENDOR, request, data)

		def playlist():
			return playlist_values(ws.input_settings(name))

		def current_number():
			return call("GetStatus").get("currentTrack", {}).get("number")

		seen["bound"] = settle(lambda: call("GetStatus").get("bound"), True, 15)
		seen["tracks"] = call("GetTracks").get("tracks", [])
		call("SetEndMode", {"mode": "next"})
		call("PlayTrack", {"number": 1})
		settle(playlist, [cls.first], 10)

		ws.request("OpenInputPropertiesDialog", {"inputName": name})
		window = h.PropertiesWindow(x.display, name)
		call("PlayTrack", {"number": 2})
		seen["moved on"] = settle(playlist, [cls.second], 10)
		window.cancel()
		seen["cancelled"] = playlist()
		seen["noticed cancel"] = wait_for_saved_state(
			cls.home, cls.setup, lambda st: playlist_values({"playlist": st["observed"]}) == [cls.first], 15,
			"the dock to take the playlist the window put back")
		seen["tracks after cancel"] = call("GetTracks").get("tracks", [])
		seen["current after cancel"] = current_number()
		# The second track plays on to its end; the end mode then starts the third.
		seen["on by itself"] = settle(playlist, [cls.third], 30)
		seen["current after the end"] = current_number()

		ws.request("OpenInputPropertiesDialog", {"inputName": name})
		window = h.PropertiesWindow(x.display, name)
		call("PlayTrack", {"number": 1})
		settle(playlist, [cls.first], 10)
		try:
			window.discard()
		except h.HarnessError as e:
			seen["discard"] = str(e)
		seen["discarded"] = settle(playlist, [cls.third], 10)
		seen["current after discard"] = settle(current_number, 3, 10)
		seen["tracks after discard"] = call("GetTracks").get("tracks", [])
		call("SetEndMode", {"mode": "stop"})
		call("Next")
		seen["next"] = settle(playlist, [cls.media["files"][0]], 10)

		call("RestorePlaylist")
		seen["restored"] = settle(playlist, cls.whole, 10)
		seen["settings"] = ws.input_settings(name)

	def test_cancel_keeps_every_track_and_the_track_on_air(self):
		seen = self.result.seen
		self.assertIs(seen["bound"], True)
		self.assertEqual(seen["moved on"], [self.second])
		self.assertEqual(seen["cancelled"], [self.first], "Cancel did not put back the settings the window opened with")
		self.assertIsNotNone(seen["noticed cancel"], "the dock never took the playlist the window put back")
		self.assertEqual(track_ids(seen["tracks after cancel"]), track_ids(seen["tracks"]))
		self.assertEqual(seen["current after cancel"], 2)

	def test_end_mode_goes_on_after_cancel(self):
		self.assertEqual(self.result.seen["on by itself"], [self.third])
		self.assertEqual(self.result.seen["current after the end"], 3)

	def test_discard_keeps_every_track_and_follows_the_source(self):
		seen = self.result.seen
		self.assertIsNone(seen.get("discard"))
		self.assertEqual(seen["discarded"], [self.third])
		self.assertEqual(seen["current after discard"], 3)
		self.assertEqual(track_ids(seen["tracks after discard"]), track_ids(seen["tracks"]))
		self.assertEqual(seen["next"], [self.media["files"][0]])

	def test_restore_gives_the_source_its_own_options(self):
		settings = self.result.seen["settings"]
		self.assertEqual(self.result.seen["restored"], self.whole)
		self.assertIs(settings["loop"], True)
		self.assertIs(settings["shuffle"], False)
		self.assertEqual(settings["playback_behavior"], "stop_restart")

	def test_dock_says_the_source_was_changed_outside(self):
		self.assertEqual(self.result.module_problems, [CHANGED_OUTSIDE] * 2)
		self.assertEqual(self.result.exit_code, 0)


class UndoAndReset(unittest.TestCase):
	"""Edit > Undo of a change made in the source's Properties window, and a remote client's settings
	without overlay and without a playlist, both while the dock manages the source: the dock keeps
	every track with its id, stops driving a source that no longer plays one track of the list, plays
	on when asked, and Restore gives the source its own options."""

	@classmethod
	def setUpClass(cls):
		cls.home, cls.media, cls.setup = fresh_setup("undo-and-reset")
		media_dir = os.path.join(ARGS.work, "media")
		cls.first = h.long_track(media_dir)
		cls.second = h.long_track(media_dir, frequency=420)
		cls.own = [cls.first, cls.second] + cls.setup["playlist"]
		with_playlist(cls.home, cls.setup, cls.own)
		cls.whole = [cls.first, cls.second] + track_paths(cls.media)
		cls.result = run_obs(cls.home, cls.setup, during=cls.operate)

	@classmethod
	def operate(cls, ws, x, run):
		name = cls.setup["source_name"]
		seen = run.seen

		def call(request, data=None):
			return ws.vendor_request(VENDOR, request, data)

		def playlist():
			return playlist_values(ws.input_settings(name))

		seen["bound"] = settle(lambda: call("GetStatus").get("bound"), True, 15)
		seen["tracks"] = call("GetTracks").get("tracks", [])

		# The window opens on the source's own settings; the dock takes the source over meanwhile, and
		# OK puts that on OBS's undo stack as a change made in the window.
		ws.request("OpenInputPropertiesDialog", {"inputName": name})
		window = h.PropertiesWindow(x.display, name)
		call("PlayTrack", {"number": 1})
		seen["taken"] = settle(playlist, [cls.first], 10)
		window.ok()
		h.main_window_keys(x.display, "ctrl+z")
		seen["undone"] = settle(playlist, cls.own, 10)
		seen["after undo"] = wait_for_saved_state(
			cls.home, cls.setup, lambda st: st["managed"] is False and
			playlist_values({"playlist": st["observed"]}) == cls.own, 15, "the dock to take the undone playlist")
		seen["tracks after undo"] = call("GetTracks").get("tracks", [])

		call("PlayTrack", {"number": 2})
		seen["played on"] = settle(playlist, [cls.second], 10)

		ws.set_input_settings(name, {"loop": False}, overlay=False)
		seen["after reset"] = wait_for_saved_state(
			cls.home, cls.setup, lambda st: st["managed"] is False and st["observed"] == [], 15,
			"the dock to take the emptied playlist")
		seen["tracks after reset"] = call("GetTracks").get("tracks", [])

		call("RestorePlaylist")
		seen["restored"] = settle(playlist, cls.whole, 10)
		seen["settings"] = ws.input_settings(name)

	def test_undo_keeps_every_track_and_the_source_plays_its_own_list(self):
		seen = self.result.seen
		self.assertIs(seen["bound"], True)
		self.assertEqual(seen["taken"], [self.first])
		self.assertEqual(seen["undone"], self.own, "Ctrl+Z did not put back the source's own settings")
		self.assertIsNotNone(seen["after undo"], "the dock never took the undone playlist")
		self.assertEqual(track_ids(seen["tracks after undo"]), track_ids(seen["tracks"]))
		self.assertEqual(seen["played on"], [self.second])

	def test_reset_without_playlist_keeps_every_track(self):
		seen = self.result.seen
		self.assertIsNotNone(seen["after reset"], "the dock never took the emptied playlist")
		self.assertEqual(track_ids(seen["tracks after reset"]), track_ids(seen["tracks"]))
		state = seen["after reset"]
		self.assertIs(state["originalLoop"], True)
		self.assertEqual(state["originalBehavior"], "stop_restart")

	def test_restore_gives_the_source_its_own_options(self):
		settings = self.result.seen["settings"]
		self.assertEqual(self.result.seen["restored"], self.whole)
		self.assertIs(settings["loop"], True)
		self.assertIs(settings["shuffle"], False)
		self.assertEqual(settings["playback_behavior"], "stop_restart")
		self.assertEqual(self.result.module_problems, [CHANGED_OUTSIDE] * 2)
		self.assertEqual(self.result.exit_code, 0)


class Restore(unittest.TestCase):
	"""After the dock has taken the source over, the list menu's restore entry hands the whole list
	back with the source's own options."""

	# The restore entry is the last but two of the list menu: Up from the closed-over menu reaches
	# the last entry (About), Up again the durations entry, Up once more the restore entry.
	MENU_KEYS = ("Up", "Up", "Up", "Return")

	@classmethod
	def setUpClass(cls):
		cls.home, cls.media, cls.setup = fresh_setup("restore")
		cls.result = run_obs(cls.home, cls.setup, during=cls.operate)

	@classmethod
	def operate(cls, ws, x, run):
		name = cls.setup["source_name"]
		seen = run.seen
		op = operator(x, run)
		wait_for_bound_dock(ws, len(track_paths(cls.media)))
		op.click_row(1)
		op.keys("Return")
		seen["taken"] = settle(lambda: playlist_values(ws.input_settings(name)), [cls.media["files"][1]], 10)
		seen["over"] = wait_until_over(ws, name)
		op.choose_from_list_menu(2, *cls.MENU_KEYS)
		whole = track_paths(cls.media)
		seen["restored"] = settle(lambda: playlist_values(ws.input_settings(name)), whole, 10)
		seen["settings"] = ws.input_settings(name)
		seen["saved"] = wait_for_saved_state(cls.home, cls.setup, lambda st: st["managed"] is False and
						     playlist_values({"playlist": st["observed"]}) == whole, 15,
						     "the restored state on disk")

	def test_source_gets_the_whole_list_with_its_own_options(self):
		self.assertEqual(self.result.seen["taken"], [self.media["files"][1]], "the dock never took the source over")
		self.assertEqual(self.result.seen["restored"], track_paths(self.media))
		settings = self.result.seen["settings"]
		self.assertIs(settings["loop"], True)
		self.assertIs(settings["shuffle"], False)
		self.assertEqual(settings["playback_behavior"], "stop_restart")

	def test_saved_state_no_longer_manages_the_source(self):
		state = self.result.seen["saved"]
		self.assertIsNotNone(state, "the restored state never reached the collection on disk")
		self.assertEqual(state["current"], "")
		self.assertEqual([t["value"] for t in state["tracks"]], track_paths(self.media))
		self.assertEqual(self.result.module_problems, [])
		self.assertEqual(self.result.exit_code, 0)


class NowPlaying(unittest.TestCase):
	"""What the audience is shown: a text source on the canvas and a text file follow each track the
	dock plays through the real VLC source (its tags when it has them, its file's name when not, one
	under a second, repeats), then show the text for when nothing plays; the vendor event and the
	status carry the tags; the settings come from the collection and go back into it."""

	IDLE = "Off air"
	TEXT = "Now Playing"
	TEMPLATE = "{artist} \u2013 {title}"

	@classmethod
	def setUpClass(cls):
		def attempt(n):
			cls.home, cls.media, cls.setup = fresh_setup("now-playing" if n == 1 else f"now-playing-{n}")
			cls.tracks = h.tagged_tracks(os.path.join(ARGS.work, "media"))
			cls.file = os.path.join(cls.home, "now-playing.txt")
			data = h.read_collection(cls.home, cls.setup["collection"])
			for source in data["sources"]:
				if source["uuid"] == cls.setup["source_uuid"]:
					source["settings"]["playlist"] = [{"value": t["path"], "hidden": False, "selected": False}
									  for t in cls.tracks]
			# Left holding a title by the last show: nothing plays when the collection loads.
			text = h.text_source(cls.TEXT, "Last night's title")
			h.add_to_scene(data, "Stage", text, pos=(40, 900))
			# On the air, as an audience sees it: each track ends once its end has been heard.
			data["current_scene"] = data["current_program_scene"] = "Stage"
			cls.now_playing = {"textSource": text["uuid"], "file": cls.file, "template": cls.TEMPLATE,
					   "idleText": cls.IDLE}
			data["modules"] = {VENDOR: {"nowPlaying": cls.now_playing}}
			h.write_collection(cls.home, data)
			return run_obs(cls.home, cls.setup, during=cls.operate)

		cls.result = until_no_host_fault(attempt, exit_leak_fault)

	@classmethod
	def operate(cls, ws, x, run):
		seen = run.seen

		def shown():
			return ws.input_settings(cls.TEXT).get("text")

		def in_file():
			try:
				with open(cls.file, encoding="utf-8") as f:
					return f.read()
			except OSError:
				return None

		seen["text_at_load"] = settle(shown, cls.IDLE, 15)
		seen["file_at_load"] = settle(in_file, cls.IDLE, 15)
		with h.ObsWebSocket(event_subscriptions=h.ObsWebSocket.VENDOR_EVENTS) as client:
			client.connect(run.obs, timeout=30)
			call = client.vendor_request
			seen["bound"] = settle(lambda: call(VENDOR, "GetStatus").get("bound"), True, 15)
			call(VENDOR, "SetEndMode", {"mode": "next"})

			# Every change of the text source and of the file while the list plays through, and what
			# the status says while the first track plays.
			texts, files = [shown()], [in_file()]
			call(VENDOR, "PlayTrack", {"number": 1})
			deadline = time.monotonic() + 60
			while time.monotonic() < deadline:
				text, content = shown(), in_file()
				if text != texts[-1]:
					texts.append(text)
					if len(texts) == 2:
						seen["status"] = call(VENDOR, "GetStatus")
				if content is not None and content != files[-1]:
					files.append(content)
				if len(texts) > 1 and text == cls.IDLE and content == cls.IDLE:
					break
				time.sleep(0.02)
			seen["texts"], seen["files"] = texts, files
			seen["started"] = []
			for number in (1, 2, 3):
				event = client.wait_event(vendor_event("TrackStarted", lambda d, n=number: d.get("number") == n), 10)
				seen["started"].append(event["eventData"]["eventData"] if event else None)

			# The short track over and over: each start is told, and neither the text nor the file
			# changes after the first.
			call(VENDOR, "SetEndMode", {"mode": "repeat"})
			call(VENDOR, "PlayTrack", {"number": 2})
			repeats, repeat_texts, written = 0, [], None
			deadline = time.monotonic() + 40
			while repeats < 5 and time.monotonic() < deadline:
				if client.wait_event(vendor_event("TrackStarted", lambda d: d.get("number") == 2), 0.05):
					repeats += 1
				text = shown()
				if not repeat_texts or repeat_texts[-1] != text:
					repeat_texts.append(text)
				if written is None and repeats >= 1 and in_file() == "short":
					info = os.stat(cls.file)
					written = (repeats, info.st_ino, info.st_mtime_ns)
			info = os.stat(cls.file)
			seen["repeats"], seen["repeat_texts"] = repeats, repeat_texts
			seen["file_during_repeats"] = (written, (repeats, info.st_ino, info.st_mtime_ns))
			call(VENDOR, "Stop")
			seen["text_after_stop"] = settle(shown, cls.IDLE, 10)
			seen["file_after_stop"] = settle(in_file, cls.IDLE, 10)

	def lines(self):
		t = self.tracks
		return [self.IDLE, f"{t[0]['artist']} \u2013 {t[0]['title']}", "short", f"{t[2]['artist']} \u2013 {t[2]['title']}",
			self.IDLE]

	def test_the_text_source_and_the_file_follow_every_track(self):
		seen = self.result.seen
		self.assertEqual(seen["text_at_load"], self.IDLE)
		self.assertEqual(seen["file_at_load"], self.IDLE)
		self.assertEqual(seen["texts"], self.lines())
		self.assertEqual(seen["files"], self.lines())

	def test_the_start_event_and_the_status_carry_the_tags(self):
		started = self.result.seen["started"]
		self.assertNotIn(None, started, "a TrackStarted event is missing")
		for event, track in zip(started, self.tracks):
			self.assertEqual((event["path"], event["title"], event["artist"], event["album"]),
					 (track["path"], track["title"], track["artist"], track["album"]))
			self.assertGreater(event["durationMs"], 0)
		current = self.result.seen["status"]["currentTrack"]
		self.assertEqual((current["number"], current["title"], current["artist"], current["album"]),
				 (1, "Alpha", "Ann", "First"))
		self.assertGreater(current["durationMs"], 1000)

	def test_repeats_change_neither_the_text_nor_the_file(self):
		seen = self.result.seen
		self.assertEqual(seen["repeats"], 5, "the short track did not repeat")
		self.assertIn(seen["repeat_texts"], (["short"], [self.IDLE, "short"]))
		written, last = seen["file_during_repeats"]
		self.assertIsNotNone(written, "the file never named the repeated track")
		self.assertGreaterEqual(last[0] - written[0], 2, "too few repeats after the file was written to tell")
		self.assertEqual(written[1:], last[1:])
		self.assertEqual(seen["text_after_stop"], self.IDLE)
		self.assertEqual(seen["file_after_stop"], self.IDLE)

	def test_the_settings_go_back_into_the_collection(self):
		saved = self.result.saved
		self.assertEqual(saved.get("modules", {}).get(VENDOR, {}).get("nowPlaying"), self.now_playing)
		text = self.result.saved_source(self.TEXT)
		self.assertEqual(text["settings"]["text"], self.IDLE)
		self.assertEqual(self.result.module_problems, [])
		self.assertEqual(self.result.exit_code, 0)


class CollectionSwitch(unittest.TestCase):
	"""Switching to another scene collection and back: the dock lets the other collection's source
	alone, binds its own source again, and writes nothing once OBS is exiting."""

	@classmethod
	def setUpClass(cls):
		def attempt(n):
			cls.home, cls.media, cls.setup = fresh_setup("collection-switch" if n == 1 else f"collection-switch-{n}")
			cls.other = h.add_collection(cls.home, "Other", [cls.media["files"][0]])
			return run_obs(cls.home, cls.setup, during=cls.operate)

		# OBS 32.2.2 fails to clear a collection on about 1 switch in 8, with or without this module;
		# it stops saving the collection after that, so such a run shows nothing of the module's
		# work. A module holding a source would fail every switch, and fails here too.
		cls.result = until_no_host_fault(attempt, lambda run: run.host_fault)
		cls.other_saved = h.read_collection(cls.home, "Other")

	@classmethod
	def operate(cls, ws, x, run):
		name = cls.setup["source_name"]
		seen = run.seen
		seen["bound"] = wait_for_saved_state(cls.home, cls.setup, lambda st: True, 15, "the first import")
		seen["other_settings"] = switch_collection(ws, x, run, "Other", cls.other["source_name"])
		seen["back_settings"] = switch_collection(ws, x, run, cls.setup["collection"], name)
		wait_for_bound_dock(ws, len(track_paths(cls.media)))
		# A double click on the second row starts that track, which only a bound dock can do.
		operator(x, run).double_click_row(1)
		seen["started"] = settle(lambda: playlist_values(ws.input_settings(name)), [cls.media["files"][1]], 10)
		# Tells a click the dock never saw (no current track) from a switch still waiting for the
		# source's stop (switchPending), should the track not start.
		seen["status_after_click"] = ws.vendor_request(VENDOR, "GetStatus")
		seen["over"] = wait_until_over(ws, name)
		# The dock empties the source's playlist when it stops it at the end of the track; the
		# state it saves for that is the last one it has reason to write.
		seen["last"] = wait_for_saved_state(cls.home, cls.setup, lambda st: st["managed"] is True and
						    st["observed"] == [], 15, "the stopped state on disk")

	def test_dock_binds_its_source_again_after_switching_back(self):
		seen = self.result.seen
		self.assertIsNotNone(seen["bound"])
		self.assertEqual(playlist_values(seen["back_settings"]), self.setup["playlist"])
		self.assertEqual(seen["started"], [self.media["files"][1]], f"the dock then: {seen['status_after_click']}")

	def test_other_collections_source_is_left_alone(self):
		self.assertEqual(playlist_values(self.result.seen["other_settings"]), self.other["playlist"])
		jingles = [s for s in self.other_saved["sources"] if s["uuid"] == self.other["source_uuid"]]
		self.assertEqual(len(jingles), 1)
		self.assertNotIn(STATE_KEY, jingles[0].get("private_settings", {}))
		self.assertEqual(playlist_values(jingles[0]["settings"]), self.other["playlist"])

	def test_obs_cleared_every_collection_it_left(self):
		# Two switches and the exit: three clears, each of them complete.
		self.assertEqual(self.result.log.count("All scene data cleared"), 4)
		self.assertIsNone(h.cleanup_fault(self.result.log))

	def test_nothing_written_after_the_exit_event(self):
		last = self.result.seen["last"]
		self.assertIsNotNone(last, "the dock's state after the stop never reached the collection on disk")
		self.assertEqual(last["current"], last["tracks"][1]["id"])
		source = self.result.saved_source(self.setup["source_name"])
		self.assertEqual(source["private_settings"][STATE_KEY], last)
		self.assertEqual(playlist_values(source["settings"]), [])
		self.assertEqual(self.result.exit_code, 0)
		self.assertEqual(self.result.module_problems, [])


def locale_text(key):
	"""The module's en-US text for a locale key, as OBS shows it here."""
	with open(os.path.join(ARGS.data, "locale", "en-US.ini"), encoding="utf-8") as f:
		for line in f:
			name, sep, value = line.strip().partition("=")
			if sep and name == key:
				return value.strip('"')
	raise KeyError(key)


class AddDialogMeetsTheHost(unittest.TestCase):
	"""The add-files dialog runs an event loop of its own, in which OBS goes on. A collection switch
	made over obs-websocket while the dialog is open (OBS closes its dialogs as it clears the
	collection) finds every source of the collection released; and OBS exits cleanly while the
	dialog is open."""

	@classmethod
	def setUpClass(cls):
		def attempt(n):
			cls.home, cls.media, cls.setup = fresh_setup("add-dialog" if n == 1 else f"add-dialog-{n}")
			cls.other = h.add_collection(cls.home, "Other", [cls.media["files"][0]])
			return run_obs(cls.home, cls.setup, during=cls.operate)

		# OBS 32.2.2's own failed clears come and go; a source the module holds fails every switch.
		cls.result = until_no_host_fault(attempt, lambda run: run.host_fault)
		cls.other_saved = h.read_collection(cls.home, "Other")

	@classmethod
	def operate(cls, ws, x, run):
		name = cls.setup["source_name"]
		seen = run.seen
		title = locale_text("AddMediaTitle")
		seen["bound"] = wait_for_saved_state(cls.home, cls.setup, lambda st: True, 15, "the first import")
		op = operator(x, run)
		seen["dialog"] = op.open_add_files_dialog(title)
		seen["other_settings"] = switch_collection(ws, x, run, "Other", cls.other["source_name"])
		seen["log_after_switch"] = run.log_now()
		seen["dialogs_after_switch"] = h.visible_windows(x.display, title)
		seen["back_settings"] = switch_collection(ws, x, run, cls.setup["collection"], name)
		seen["tracks_back"] = settle(lambda: ws.vendor_request(VENDOR, "GetStatus").get("trackCount"),
					     len(track_paths(cls.media)), 15)
		# OBS is stopped with the dialog open.
		seen["dialog_at_exit"] = op.open_add_files_dialog(title)

	def test_the_switch_finds_every_source_released(self):
		seen = self.result.seen
		self.assertIsNotNone(seen["bound"])
		self.assertIsNone(h.cleanup_fault(seen["log_after_switch"]))
		self.assertEqual(seen["dialogs_after_switch"], [], "OBS closes its dialogs when it clears a collection")
		self.assertEqual(playlist_values(seen["other_settings"]), self.other["playlist"])

	def test_the_dock_binds_again_and_the_other_collection_is_left_alone(self):
		self.assertEqual(self.result.seen["tracks_back"], len(track_paths(self.media)))
		jingles = [s for s in self.other_saved["sources"] if s["uuid"] == self.other["source_uuid"]]
		self.assertEqual(len(jingles), 1)
		self.assertNotIn(STATE_KEY, jingles[0].get("private_settings", {}))
		self.assertEqual(playlist_values(jingles[0]["settings"]), self.other["playlist"])

	def test_exit_with_the_dialog_open_is_clean(self):
		self.assertIsNotNone(self.result.seen["dialog_at_exit"])
		self.assertIsNone(h.cleanup_fault(self.result.log))
		self.assertIn("Freeing OBS context data", self.result.log)
		self.assertEqual(self.result.exit_code, 0)
		self.assertEqual(self.result.module_problems, [])
		state = self.result.saved_source(self.setup["source_name"])["private_settings"][STATE_KEY]
		self.assertEqual([t["value"] for t in state["tracks"]], track_paths(self.media))


class FindKey(unittest.TestCase):
	"""OBS binds Ctrl+F to Edit > Transform > Fit to screen while a source is selected; with the
	focus in the dock, Ctrl+F still goes to the dock's search field and Fit to screen stays put."""

	@classmethod
	def setUpClass(cls):
		cls.home, cls.media, cls.setup = fresh_setup("find-key")
		cls.result = run_obs(cls.home, cls.setup, during=cls.operate)

	@classmethod
	def operate(cls, ws, x, run):
		seen = run.seen
		name = cls.setup["source_name"]
		video = ws.request("GetVideoSettings")
		created = ws.request("CreateInput", {
			"sceneName": "Backstage", "inputName": "Backdrop", "inputKind": "color_source_v3",
			"inputSettings": {"width": video["baseWidth"], "height": video["baseHeight"], "color": 4283215696}})
		item = {"sceneName": "Backstage", "sceneItemId": created["sceneItemId"]}

		def transform():
			return ws.request("GetSceneItemTransform", item)["sceneItemTransform"]

		# A click on the picture in OBS's preview selects the source there and in the Sources list;
		# with the focus in the main window, Ctrl+F is then OBS's, and the selected source is fitted.
		# The first click may only bring the window the focus: clicked again until OBS has fitted it.
		main = h.visible_windows(x.display, h.MAIN_WINDOW_TITLE, exact=False)
		mx, my, mw, mh = h.window_geometry(x.display, main[0])
		for _ in range(5):
			h.xdotool(x.display, "mousemove", str(mx + int(mw * 0.45)), str(my + int(mh * 0.3)))
			h.xdotool(x.display, "click", "1")
			time.sleep(0.5)
			h.xdotool(x.display, "key", "ctrl+f")
			seen["fitted"] = settle(lambda: transform()["boundsType"], "OBS_BOUNDS_SCALE_INNER", 2)
			if seen["fitted"] == "OBS_BOUNDS_SCALE_INNER":
				break
		ws.request("SetSceneItemTransform", dict(item, sceneItemTransform={"boundsType": "OBS_BOUNDS_NONE",
										  "scaleX": 0.5, "scaleY": 0.5}))
		seen["reset"] = settle(lambda: transform()["boundsType"], "OBS_BOUNDS_NONE", 5)

		# In the dock: the first row selected, then Ctrl+F, a search text and Return, which starts the
		# first track the search shows. In the list, the same keys start the first row.
		op = operator(x, run)
		op.click_row(0)
		op.keys("ctrl+f")
		h.xdotool(x.display, "type", "--delay", "80", "770")
		op.keys("Return")
		# Every playlist the source shows meanwhile, so that a failure says which track started.
		seen["playlists"] = []

		def playlist():
			values = playlist_values(ws.input_settings(name))
			if not seen["playlists"] or seen["playlists"][-1] != values:
				seen["playlists"].append(values)
			return values

		seen["started"] = settle(playlist, [cls.media["folder_files"][0]], 10)
		seen["after"] = transform()

	def test_obs_fits_the_selected_source_with_the_focus_in_its_window(self):
		self.assertEqual(self.result.seen["fitted"], "OBS_BOUNDS_SCALE_INNER")
		self.assertEqual(self.result.seen["reset"], "OBS_BOUNDS_NONE")

	def test_ctrl_f_in_the_dock_goes_to_its_search_field(self):
		self.assertTrue(os.path.basename(self.media["folder_files"][0]).startswith("A-770"))
		self.assertEqual(self.result.seen["started"], [self.media["folder_files"][0]], self.result.seen["playlists"])
		after = self.result.seen["after"]
		self.assertEqual((after["boundsType"], after["scaleX"]), ("OBS_BOUNDS_NONE", 0.5))
		self.assertNotIn("Ambiguous shortcut overload", self.result.console)
		self.assertEqual(self.result.module_problems, [])


VENDOR = "OBS-Tracklane"
PAUSED = "OBS_MEDIA_STATE_PAUSED"


def vendor_event(name, match=lambda data: True):
	"""A matcher for wait_event: the module's vendor event of that name whose data satisfies match."""

	def matches(event):
		if event.get("eventType") != "VendorEvent":
			return False
		inner = event.get("eventData", {})
		return inner.get("vendorName") == VENDOR and inner.get("eventType") == name and match(
			inner.get("eventData", {}))

	return matches


def keycode(display, keysym_name):
	"""The X keycode of a key, looked up through Xlib on that display."""
	x11 = ctypes.CDLL("libX11.so.6")
	x11.XOpenDisplay.restype = ctypes.c_void_p
	x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
	x11.XStringToKeysym.restype = ctypes.c_ulong
	x11.XStringToKeysym.argtypes = [ctypes.c_char_p]
	x11.XKeysymToKeycode.restype = ctypes.c_ubyte
	x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
	x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
	connection = x11.XOpenDisplay(display.encode())
	if not connection:
		raise RuntimeError(f"cannot open X display {display}")
	try:
		code = x11.XKeysymToKeycode(connection, x11.XStringToKeysym(keysym_name.encode()))
	finally:
		x11.XCloseDisplay(connection)
	if not code:
		raise RuntimeError(f"no keycode for {keysym_name} on {display}")
	return code


class Remote(unittest.TestCase):
	"""Remote control: a client of obs-websocket calls the module's vendor requests and hears its
	vendor events; a hotkey bound in the saved collection starts and pauses playback."""

	@classmethod
	def setUpClass(cls):
		cls.home, cls.media, cls.setup = fresh_setup("remote")
		cls.long = h.long_track(os.path.join(ARGS.work, "media"))
		data = h.read_collection(cls.home, cls.setup["collection"])
		for source in data["sources"]:
			if source["uuid"] == cls.setup["source_uuid"]:
				source["settings"]["playlist"].append({"value": cls.long, "hidden": False, "selected": False})
		data["modules"] = {VENDOR: {"hotkeys": {"OBS-Tracklane.PlayPause": [{"key": "OBS_KEY_F9"}]}}}
		h.write_collection(cls.home, data)
		cls.result = run_obs(cls.home, cls.setup, during=cls.operate)

	@classmethod
	def operate(cls, ws, x, run):
		name = cls.setup["source_name"]
		seen = run.seen
		with h.ObsWebSocket(event_subscriptions=h.ObsWebSocket.VENDOR_EVENTS) as client:
			client.connect(run.obs, timeout=30)
			call = client.vendor_request
			seen["bound"] = settle(lambda: call(VENDOR, "GetStatus").get("bound"), True, 15)
			seen["tracks"] = call(VENDOR, "GetTracks").get("tracks", [])
			number = len(seen["tracks"])

			seen["play"] = call(VENDOR, "PlayTrack", {"number": number})
			started = client.wait_event(vendor_event("TrackStarted", lambda d: d.get("number") == number), 20)
			seen["started"] = started["eventData"]["eventData"] if started else None
			seen["playlist"] = settle(lambda: playlist_values(ws.input_settings(name)), [cls.long], 10)
			seen["playing"] = client.wait_event(
				vendor_event("PlaybackStateChanged", lambda d: d.get("state") == PLAYING), 10) is not None
			seen["status"] = call(VENDOR, "GetStatus")

			seen["errors"] = {
				"unknown id": call(VENDOR, "PlayTrack", {"id": "no-such-track"}),
				"number past the end": call(VENDOR, "PlayTrack", {"number": number + 1}),
				"number as text": call(VENDOR, "PlayTrack", {"number": "1"}),
				"no argument": call(VENDOR, "PlayTrack"),
				"seek below 0": call(VENDOR, "Seek", {"ms": -1}),
				"unknown end mode": call(VENDOR, "SetEndMode", {"mode": "loop"}),
			}
			seen["playlist_after_errors"] = playlist_values(ws.input_settings(name))

			seen["stop"] = call(VENDOR, "Stop")
			seen["stopped"] = settle(lambda: media_state(ws, name) in OVER, True, 10)

			# The operator presses the bound key over OBS's main window, long enough for libobs to see
			# it held: the stopped current track starts again; a second press pauses it.
			main = h.visible_windows(x.display, h.MAIN_WINDOW_TITLE, exact=False)
			mx, my, mw, mh = h.window_geometry(x.display, main[0])
			h.xdotool(x.display, "mousemove", str(mx + mw // 2), str(my + mh // 2))

			# By keycode: xdotool given the key's name may hold Alt down with it (it does for the F keys
			# with Debian testing's X keyboard data), and a plain F9 binding does not match Alt+F9.
			f9 = str(keycode(x.display, "F9"))

			def press():
				h.xdotool(x.display, "keydown", f9, "sleep", "0.3", "keyup", f9)

			press()
			seen["hotkey_started"] = settle(lambda: media_state(ws, name), PLAYING, 15)
			seen["hotkey_playlist"] = playlist_values(ws.input_settings(name))
			# VLC can miss a pause that comes the moment it has started; an operator's does not.
			time.sleep(1.0)
			press()
			seen["hotkey_paused"] = settle(lambda: media_state(ws, name), PAUSED, 10)
			seen["paused_event"] = client.wait_event(
				vendor_event("PlaybackStateChanged", lambda d: d.get("state") == PAUSED), 10) is not None

		# A client that keeps asking while OBS shuts down: every request is answered until the server
		# goes, and OBS still exits cleanly.
		caller = h.ObsWebSocket()
		caller.connect(run.obs, timeout=30)
		cls.during_exit = {"answers": [], "error": None}

		def keep_asking():
			try:
				while True:
					cls.during_exit["answers"].append(caller.vendor_request(VENDOR, "GetStatus"))
					time.sleep(0.01)
			except Exception as e:  # the server closing the connection ends the loop
				cls.during_exit["error"] = e
			finally:
				caller.close()

		cls.asker = threading.Thread(target=keep_asking, daemon=True)
		cls.asker.start()

	def test_play_track_switches_the_source_and_reports_the_start(self):
		seen = self.result.seen
		self.assertIs(seen["bound"], True, "the dock never reported its source bound")
		self.assertEqual([t["path"] for t in seen["tracks"]], track_paths(self.media) + [self.long])
		self.assertEqual([t["number"] for t in seen["tracks"]], list(range(1, len(seen["tracks"]) + 1)))
		self.assertEqual(seen["play"], {"success": True})
		self.assertEqual(seen["playlist"], [self.long])
		last = seen["tracks"][-1]
		self.assertEqual(seen["started"], {"id": last["id"], "number": last["number"], "path": self.long,
						   "name": os.path.basename(self.long), "title": "", "artist": "", "album": "",
						   "durationMs": seen["started"].get("durationMs")})
		self.assertGreater(seen["started"]["durationMs"], 60000)
		self.assertIs(seen["playing"], True, "no PlaybackStateChanged event for the start")

	def test_get_status_reports_the_started_track(self):
		status = self.result.seen["status"]
		last = self.result.seen["tracks"][-1]
		self.assertEqual(status["sourceName"], self.setup["source_name"])
		self.assertEqual(status["sourceUuid"], self.setup["source_uuid"])
		self.assertEqual(status["currentTrack"]["id"], last["id"])
		self.assertEqual(status["currentTrack"]["number"], last["number"])
		self.assertEqual(status["trackCount"], len(self.result.seen["tracks"]))
		self.assertEqual(status["endMode"], "stop")
		self.assertGreater(status["durationMs"], 60000)

	def test_bad_requests_get_clear_errors_and_change_nothing(self):
		errors = {k: v.get("error") for k, v in self.result.seen["errors"].items()}
		self.assertEqual(errors, {"unknown id": "unknown track", "number past the end": "unknown track",
					  "number as text": "bad argument", "no argument": "bad argument",
					  "seek below 0": "bad argument", "unknown end mode": "bad argument"})
		self.assertEqual(self.result.seen["playlist_after_errors"], [self.long])

	def test_bound_hotkey_starts_and_pauses_playback(self):
		seen = self.result.seen
		self.assertEqual(seen["stop"], {"success": True})
		self.assertIs(seen["stopped"], True)
		self.assertEqual(seen["hotkey_started"], PLAYING)
		self.assertEqual(seen["hotkey_playlist"], [self.long])
		self.assertEqual(seen["hotkey_paused"], PAUSED)
		self.assertIs(seen["paused_event"], True)

	def test_requests_during_exit_are_answered_and_exit_is_clean(self):
		self.asker.join(30)
		self.assertFalse(self.asker.is_alive(), "the client was still being answered 30 s after OBS exited")
		answers = self.during_exit["answers"]
		self.assertGreater(len(answers), 0)
		self.assertEqual([a for a in answers if "success" not in a], [])
		self.assertEqual(self.result.exit_code, 0)
		self.assertIn("Freeing OBS context data", self.result.log)

	def test_binding_is_saved_with_the_collection(self):
		modules = self.result.saved.get("modules", {})
		self.assertEqual(modules.get(VENDOR, {}).get("hotkeys", {}).get("OBS-Tracklane.PlayPause"),
				 [{"key": "OBS_KEY_F9"}])
		self.assertEqual(self.result.module_problems, [])
		self.assertEqual(self.result.exit_code, 0)



def tap(display, key, seconds=0.1):
	"""Presses a key by its keycode for a moment, as an operator taps it."""
	code = str(keycode(display, key))
	h.xdotool(display, "keydown", code, "sleep", str(seconds), "keyup", code)


def pointer_on_main_window(x):
	"""Without a window manager the keyboard focus follows the pointer: keys go to OBS's main window."""
	main = h.visible_windows(x.display, h.MAIN_WINDOW_TITLE, exact=False)
	mx, my, mw, mh = h.window_geometry(x.display, main[0])
	h.xdotool(x.display, "mousemove", str(mx + mw // 2), str(my + mh // 2))


class StalledHotkey(unittest.TestCase):
	"""A hotkey tapped while OBS's UI thread is stopped for a moment acts once. libobs's hotkey thread
	sees the tap go down and up meanwhile, and once the UI thread runs again OBS hands the same tap
	over once more from the key events Qt queued; Next must still skip exactly one track."""

	STALL = 0.4
	TRIALS = 4

	@classmethod
	def setUpClass(cls):
		cls.home, cls.media, cls.setup = fresh_setup("stalled-hotkey")
		data = h.read_collection(cls.home, cls.setup["collection"])
		data["modules"] = {VENDOR: {"hotkeys": {"OBS-Tracklane.Next": [{"key": "OBS_KEY_F10"}]}}}
		h.write_collection(cls.home, data)
		cls.result = run_obs(cls.home, cls.setup, during=cls.operate)

	@classmethod
	def operate(cls, ws, x, run):
		seen = run.seen
		with h.ObsWebSocket() as client:
			client.connect(run.obs, timeout=30)
			call = client.vendor_request

			def number():
				return call(VENDOR, "GetStatus").get("currentTrack", {}).get("number")

			seen["bound"] = settle(lambda: call(VENDOR, "GetStatus").get("bound"), True, 15)
			seen["count"] = call(VENDOR, "GetStatus").get("trackCount")
			seen["play"] = call(VENDOR, "PlayTrack", {"number": 1})
			seen["first"] = settle(number, 1, 10)
			pointer_on_main_window(x)

			def step(stalled):
				before = number()
				if stalled:
					# OBS's UI thread is OBS's main thread: its id is the process id.
					h.stall_thread(run.obs.proc.pid, cls.STALL, during=lambda: tap(x.display, "F10"))
				else:
					tap(x.display, "F10")
				wanted = before % seen["count"] + 1
				# Long enough for a second Next to have come through too.
				time.sleep(1.5)
				return before, settle(number, wanted, 5)

			seen["plain"] = step(False)
			seen["stalled"] = [step(True) for _ in range(cls.TRIALS)]

	def test_one_tap_is_one_next_with_or_without_a_stall(self):
		seen = self.result.seen
		self.assertIs(seen["bound"], True, "the dock never reported its source bound")
		self.assertEqual(seen["play"], {"success": True})
		self.assertEqual(seen["first"], 1)
		count = seen["count"]
		self.assertEqual(count, len(track_paths(self.media)))
		for before, after in [seen["plain"]] + seen["stalled"]:
			self.assertEqual(after, before % count + 1, f"a tap took track {before} to track {after}; "
					 f"taps (before, after): plain {seen['plain']}, stalled {seen['stalled']}")

	def test_no_warning_or_error_from_the_module(self):
		self.assertEqual(self.result.module_problems, [])
		self.assertEqual(self.result.exit_code, 0)
		# OBS 32.2.2 reports leaked allocations at exit now and then on its own, here in about one run
		# in three after its main thread was stopped, with the module before these changes too; OBS
		# 30.2.3 never did. Only an OBS without that fault is held to it.
		if not host_faults_excused():
			self.assertNotRegex(self.result.log, r"Number of memory leaks: [1-9]")


class NewCollectionHotkeys(unittest.TestCase):
	"""A scene collection made new in OBS starts with no bindings of its own; the one left keeps its
	bindings in its file, and has them again once OBS switches back to it. The key here hands the
	list back to the source, which shows without the source ever playing."""

	NEW = "Fresh"
	KEY = "OBS-Tracklane.RestorePlaylist"

	@classmethod
	def setUpClass(cls):
		def attempt(n):
			cls.home, cls.media, cls.setup = fresh_setup("new-collection" if n == 1 else f"new-collection-{n}")
			data = h.read_collection(cls.home, cls.setup["collection"])
			data["modules"] = {VENDOR: {"hotkeys": {cls.KEY: [{"key": "OBS_KEY_F9"}]}}}
			h.write_collection(cls.home, data)
			return run_obs(cls.home, cls.setup, during=cls.operate)

		# OBS 32.2.2 fails to clear a collection on about 1 switch in 8, with or without this module.
		cls.result = until_no_host_fault(attempt, lambda run: run.host_fault)

	@classmethod
	def operate(cls, ws, x, run):
		name = cls.setup["source_name"]
		seen = run.seen
		with h.ObsWebSocket() as client:
			client.connect(run.obs, timeout=30)
			seen["bound"] = settle(lambda: client.vendor_request(VENDOR, "GetStatus").get("bound"), True, 15)

		try:
			ws.request("CreateSceneCollection", {"sceneCollectionName": cls.NEW})
		except Exception:
			if not h.cleanup_fault(run.log_now()):
				raise

		def fresh_saved():
			fault = h.cleanup_fault(run.log_now())
			if fault:
				return ("fault", fault)
			try:
				data = h.read_collection(cls.home, cls.NEW)
			except (OSError, ValueError):
				return None
			return ("saved", data) if "modules" in data else None

		kind, value = h.wait_until(fresh_saved, 30, f"the collection {cls.NEW!r} on disk", interval=0.2)
		if kind == "fault":
			h.dismiss_cleanup_error(x.display, timeout=15)
			raise HostCleanupFault(f"creating {cls.NEW!r}: {value!r}")
		seen["fresh_modules"] = value.get("modules", {})
		seen["left_modules"] = h.read_collection(cls.home, cls.setup["collection"]).get("modules", {})

		seen["back_settings"] = switch_collection(ws, x, run, cls.setup["collection"], name)
		with h.ObsWebSocket() as client:
			client.connect(run.obs, timeout=30)
			seen["bound_again"] = settle(lambda: client.vendor_request(VENDOR, "GetStatus").get("bound"), True, 15)
		pointer_on_main_window(x)
		tap(x.display, "F9", seconds=0.3)
		seen["handed_back"] = settle(lambda: playlist_values(ws.input_settings(name)), track_paths(cls.media), 10)

	@classmethod
	def bindings(cls, modules):
		return modules.get(VENDOR, {}).get("hotkeys", {})

	def test_new_collection_has_no_bindings_of_its_own(self):
		seen = self.result.seen
		self.assertIs(seen["bound"], True)
		fresh = self.bindings(seen["fresh_modules"])
		self.assertEqual({k: v for k, v in fresh.items() if v}, {}, f"the new collection holds bindings: {fresh}")

	def test_collection_left_keeps_its_binding_and_has_it_again(self):
		seen = self.result.seen
		self.assertEqual(self.bindings(seen["left_modules"]).get(self.KEY), [{"key": "OBS_KEY_F9"}])
		self.assertEqual(playlist_values(seen["back_settings"]), self.setup["playlist"])
		self.assertIs(seen["bound_again"], True)
		self.assertEqual(seen["handed_back"], track_paths(self.media), "the bound key did nothing after the switch back")
		self.assertEqual(self.bindings(self.result.saved.get("modules", {})).get(self.KEY), [{"key": "OBS_KEY_F9"}])
		self.assertEqual(self.result.module_problems, [])
		self.assertEqual(self.result.exit_code, 0)
		# OBS 32.2.2's own leaks at exit come often on a loaded machine, with the module before these
		# changes as much as with it; OBS 30.2.3 never showed them. Only OBS 30 is held to none.
		if not host_faults_excused():
			self.assertNotRegex(self.result.log, r"Number of memory leaks: [1-9]")

class ReleaseTarget(unittest.TestCase):
	"""A module built for the release target (OBS 32.0.4, Qt 6.8.3) declines to load into this OBS,
	says why in one line, registers no dock, and OBS goes on running."""

	REFUSAL = "[OBS-Tracklane] This build requires OBS 32.0.4."

	@classmethod
	def setUpClass(cls):
		media = h.generate_media(os.path.join(ARGS.work, "media"))
		cls.home = os.path.join(ARGS.work, "release-target")
		cls.setup = h.prepare_home(cls.home, ARGS.release_module, ARGS.data, media)
		cls.result = run_obs(cls.home, cls.setup, during=cls.ask, module_loads=False)

	@classmethod
	def ask(cls, ws, x, run):
		run.seen["version"] = ws.request("GetVersion")

	def test_log_has_exactly_the_refusal(self):
		lines = re.findall(r"\[OBS-Tracklane\][^\n]*", self.result.log)
		self.assertEqual(lines, [self.REFUSAL])
		self.assertIn("error: " + self.REFUSAL, self.result.console.splitlines())

	def test_no_dock_registered(self):
		self.assertEqual(self.result.dock_windows, [])
		self.assertEqual(self.result.windows_at_ready, [])
		self.assertNotIn("OBS-Tracklane.so", self.result.log.split("Loaded Modules:")[1].split("----")[0])

	def test_obs_runs_on(self):
		# The OBS installed here answers with its own version, which is not the release target's.
		self.assertEqual(self.result.seen["version"]["obsVersion"], "%d.%d.%d" % h.obs_version())
		self.assertNotEqual(self.result.seen["version"]["obsVersion"], "32.0.4")
		self.assertEqual(self.result.program_scene, "Backstage")
		self.assertEqual(self.result.exit_code, 0)


def main():
	global ARGS
	parser = argparse.ArgumentParser()
	parser.add_argument("--module", required=True)
	parser.add_argument("--data", required=True)
	parser.add_argument("--work", required=True)
	parser.add_argument("--release-module", help="the module built for the release target")
	parser.add_argument("scenarios", nargs="+")
	ARGS = parser.parse_args()
	ARGS.module = os.path.abspath(ARGS.module)
	ARGS.data = os.path.abspath(ARGS.data)
	ARGS.work = os.path.abspath(ARGS.work)
	if ARGS.release_module:
		ARGS.release_module = os.path.abspath(ARGS.release_module)
	os.makedirs(ARGS.work, exist_ok=True)
	unittest.main(argv=[sys.argv[0], "-v"] + ARGS.scenarios)


if __name__ == "__main__":
	main()
