#!/usr/bin/env python3
"""End-to-end scenarios: the freshly built module inside the real OBS Studio.

    e2e.py --module <OBS-Tracklane.so> --data <data dir> --work <dir> Scenario [Scenario...]

Each scenario prepares a fresh OBS configuration home in the work directory (kept there for
inspection after a failure), starts OBS under an X server of its own in a network namespace with
only loopback, drives it through obs-websocket and the X display, stops it with SIGINT and reads
what OBS left behind: its log, its console and the saved scene collection.
"""

import argparse
import os
import re
import sys
import unittest
import uuid

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
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

	def saved_source(self, name):
		for s in self.saved["sources"]:
			if s["name"] == name:
				return s
		raise AssertionError(f"the saved collection has no source {name!r}")


def run_obs(home, setup, during=None):
	"""Starts OBS on a prepared home, waits until it has finished loading, lets during(ws, x, run)
	act, then stops it and collects the results."""
	run = ObsRun(home, setup["collection"])
	with h.Xvfb() as x, h.Obs(home, x.display, collection=setup["collection"]) as obs:
		try:
			run.load_match = obs.wait_for_module(timeout=60)
			with h.ObsWebSocket() as ws:
				ws.connect(obs, timeout=60)
				ws.wait_ready(obs, timeout=60)
				run.dock_windows = h.wait_for_window(x.display, h.MODULE, timeout=15)
				if run.dock_windows:
					run.dock_geometry = h.window_geometry(x.display, run.dock_windows[0])
				run.program_scene = ws.program_scene()
				run.input_settings = ws.input_settings(setup["source_name"])
				if during:
					during(ws, x, run)
		finally:
			run.exit_code = obs.stop(timeout=30)
			run.log = obs.log_text()
			run.console = obs.console_text()
			run.module_problems = obs.module_lines()
	run.saved = h.read_collection(home, setup["collection"])
	return run


def fresh_setup(name, **kwargs):
	media = h.generate_media(os.path.join(ARGS.work, "media"))
	home = os.path.join(ARGS.work, name)
	setup = h.prepare_home(home, ARGS.module, ARGS.data, media, **kwargs)
	return home, media, setup


class Load(unittest.TestCase):
	"""OBS loads the module, shows its dock and shuts down cleanly, with nothing to complain about."""

	@classmethod
	def setUpClass(cls):
		cls.home, cls.media, cls.setup = fresh_setup("load")
		cls.result = run_obs(cls.home, cls.setup)

	def test_load_line_names_version_and_runtime_qt(self):
		self.assertEqual(self.result.load_match.group(1), h.MODULE_VERSION)
		# obs-websocket reports the Qt runtime too: an independent witness of the version.
		qt = re.search(r"Qt version \(run-time\): (\S+)", self.result.log)
		self.assertIsNotNone(qt, "obs-websocket's Qt line is missing from the log")
		self.assertEqual(self.result.load_match.group(2), qt.group(1))
		self.assertEqual(len(h.LOAD_LINE.findall(self.result.log)), 1, "the module loaded more than once")

	def test_dock_registered_under_its_id_and_shown(self):
		# The prepared window state names the dock by its id; OBS can only show a dock it knows.
		self.assertEqual(len(self.result.dock_windows), 1, "expected exactly one visible window titled OBS-Tracklane")
		_, _, width, height = self.result.dock_geometry
		self.assertGreater(width, 100)
		self.assertGreater(height, 100)
		self.assertIn("OBS-Tracklane.so", self.result.log.split("Loaded Modules:")[1].split("----")[0])

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
		def saved():
			try:
				collection = h.read_collection(cls.home, cls.setup["collection"])
			except (OSError, ValueError):
				return None
			for s in collection["sources"]:
				if s["uuid"] == cls.setup["source_uuid"] and STATE_KEY in s.get("private_settings", {}):
					return True
			return None

		try:
			run.saved_while_running = h.wait_until(saved, 15, "the dock state in the saved collection")
		except h.HarnessError:
			run.saved_while_running = False

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


def main():
	global ARGS
	parser = argparse.ArgumentParser()
	parser.add_argument("--module", required=True)
	parser.add_argument("--data", required=True)
	parser.add_argument("--work", required=True)
	parser.add_argument("scenarios", nargs="+")
	ARGS = parser.parse_args()
	ARGS.module = os.path.abspath(ARGS.module)
	ARGS.data = os.path.abspath(ARGS.data)
	ARGS.work = os.path.abspath(ARGS.work)
	os.makedirs(ARGS.work, exist_ok=True)
	unittest.main(argv=[sys.argv[0], "-v"] + ARGS.scenarios)


if __name__ == "__main__":
	main()
