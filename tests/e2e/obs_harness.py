"""Runs the real OBS Studio with the freshly built Tracklane module.

Shared by the end-to-end tests beside it and tools/run-obs (the demo) and the picture scripts: it prepares an OBS configuration
home with the module installed as a user plug-in, a scene collection around a `vlc_source` with
generated tone tracks, and the dock's own settings; starts OBS under an X server of its own in a
network namespace with only loopback; drives it through obs-websocket and xdotool; and stops it
with SIGINT so that it shuts down the way an operator's OBS does.

Every wait here is bounded and fails loudly; nothing is left running when a run ends.
"""

import base64
import json
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import time
import uuid

MODULE = "OBS-Tracklane"
MODULE_VERSION = "1.2.0"
LOAD_LINE = re.compile(r"\[OBS-Tracklane\] (\S+) loaded; Qt (\S+); dock registered\.")
# The module refuses to load with one of these; waiting longer for the load line is pointless then.
REFUSAL_LINE = re.compile(r"\[OBS-Tracklane\] This build requires [^\n]*")
WEBSOCKET_PORT = 4455
SCREEN = (1920, 1080)
# The floating dock's place on the screen, right of the main window.
DOCK_GEOMETRY = (1100, 40, 780, 700)


class HarnessError(Exception):
	pass


_obs_version = None


def obs_version():
	"""The installed OBS Studio's version as (major, minor, patch), from `obs --version`."""
	global _obs_version
	if _obs_version is None:
		out = subprocess.run(["obs", "--version"], capture_output=True, text=True, timeout=60,
				     stdin=subprocess.DEVNULL).stdout
		found = re.search(r"OBS Studio - (\d+)\.(\d+)\.(\d+)", out)
		if not found:
			raise HarnessError(f"cannot read the OBS version from `obs --version`: {out!r}")
		_obs_version = tuple(int(v) for v in found.groups())
	return _obs_version


def user_settings_file():
	"""The file of the configuration folder where this OBS keeps its user settings (the window
	layout among them): global.ini up to OBS 30, user.ini from OBS 31 on."""
	return "user.ini" if obs_version() >= (31, 0, 0) else "global.ini"


def wait_until(predicate, timeout, what, interval=0.1):
	"""Polls predicate until it returns something truthy; fails after timeout seconds."""
	deadline = time.monotonic() + timeout
	while True:
		result = predicate()
		if result:
			return result
		if time.monotonic() >= deadline:
			raise HarnessError(f"gave up after {timeout:.0f} s waiting for {what}")
		time.sleep(interval)


# ---------------------------------------------------------------------------------------------
# Media

# Tone tracks named after their frequency, so that a captured mix can tell them apart.
PLAIN_TRACKS = [("tone-440.wav", 440), ("tone-550.mp3", 550)]
FOLDER_NAME = "folder"
# Mixed case on purpose: a folder lists its media files by name, ignoring case.
FOLDER_TRACKS = [("b-660.ogg", 660), ("A-770.wav", 770), ("c-880.mp3", 880)]
FOLDER_OTHER = ["notes.txt"]
FOLDER_SUBDIR_TRACK = ("deeper", "d-990.wav", 990)
TRACK_SECONDS = 3


def _tone(path, frequency, seconds, tags=None):
	codec = {".wav": ["-c:a", "pcm_s16le"], ".mp3": ["-c:a", "libmp3lame"], ".ogg": ["-c:a", "libvorbis"]}
	ext = os.path.splitext(path)[1]
	tmp = f"{path}.{os.getpid()}.part{ext}"  # scenarios running side by side may share the folder
	metadata = []
	for key, value in (tags or {}).items():
		metadata += ["-metadata", f"{key}={value}"]
	subprocess.run(
		["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
		 f"sine=frequency={frequency}:sample_rate=44100:duration={seconds}", "-ac", "2"] + codec[ext] + metadata +
		[tmp], check=True, timeout=60)
	os.replace(tmp, path)


def long_track(media_dir, seconds=120, frequency=330):
	"""A tone track long enough to stay playing while a test works the transport (made once)."""
	os.makedirs(media_dir, exist_ok=True)
	path = os.path.join(media_dir, f"long-{frequency}.wav")
	if not os.path.exists(path):
		_tone(path, frequency, seconds)
	return path


def tone_track(media_dir, seconds, frequency):
	"""A tone track of the given length and frequency (made once)."""
	os.makedirs(media_dir, exist_ok=True)
	path = os.path.join(media_dir, f"tone-{frequency}-{seconds}s.wav")
	if not os.path.exists(path):
		_tone(path, frequency, seconds)
	return path


# Short tracks with the tags a music file carries, one without any and under a second.
TAGGED_TRACKS = [
	("alpha.mp3", 660, 1.5, {"title": "Alpha", "artist": "Ann", "album": "First"}),
	("short.wav", 880, 0.6, {}),
	("gamma.ogg", 1100, 1.0, {"title": "Gamma", "artist": "Cy"}),
]


def tagged_tracks(media_dir):
	"""Makes the tagged tracks (once per directory); returns [{path, title, artist, album}] in order."""
	folder = os.path.join(media_dir, "tagged")
	os.makedirs(folder, exist_ok=True)
	out = []
	for name, frequency, seconds, tags in TAGGED_TRACKS:
		path = os.path.join(folder, name)
		if not os.path.exists(path):
			_tone(path, frequency, seconds, tags)
		out.append({"path": path, "title": tags.get("title", ""), "artist": tags.get("artist", ""),
			    "album": tags.get("album", "")})
	return out


def stream_track(media_dir, frequency=660, seconds=2):
	"""An MP3 tone without the header frame that tells its length (made once): served without a
	Content-Length, VLC can tell its length no more than that of a live stream."""
	os.makedirs(media_dir, exist_ok=True)
	path = os.path.join(media_dir, f"stream-{frequency}.mp3")
	if not os.path.exists(path):
		tmp = f"{path}.{os.getpid()}.part.mp3"
		subprocess.run(
			["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
			 f"sine=frequency={frequency}:sample_rate=44100:duration={seconds}", "-ac", "2", "-c:a", "libmp3lame",
			 "-b:a", "128k", "-write_xing", "0", tmp], check=True, timeout=60)
		os.replace(tmp, path)
	return path


def generate_media(media_dir):
	"""Makes the tone tracks (once per directory) and returns a description of them."""
	folder = os.path.join(media_dir, FOLDER_NAME)
	subdir = os.path.join(folder, FOLDER_SUBDIR_TRACK[0])
	os.makedirs(subdir, exist_ok=True)
	wanted = [(os.path.join(media_dir, n), f) for n, f in PLAIN_TRACKS]
	wanted += [(os.path.join(folder, n), f) for n, f in FOLDER_TRACKS]
	wanted.append((os.path.join(subdir, FOLDER_SUBDIR_TRACK[1]), FOLDER_SUBDIR_TRACK[2]))
	for path, frequency in wanted:
		if not os.path.exists(path):
			_tone(path, frequency, TRACK_SECONDS)
	for name in FOLDER_OTHER:
		with open(os.path.join(folder, name), "w") as f:
			f.write("not a track\n")
	folder_files = sorted((os.path.join(folder, n) for n, _ in FOLDER_TRACKS), key=lambda p: os.path.basename(p).lower())
	return {
		"files": [os.path.join(media_dir, n) for n, _ in PLAIN_TRACKS],
		"folder": folder,
		"folder_files": folder_files,
	}


# ---------------------------------------------------------------------------------------------
# Configuration home


def config_dir(home):
	return os.path.join(home, ".config", "obs-studio")


def collection_path(home, file_name):
	return os.path.join(config_dir(home), "basic", "scenes", file_name + ".json")


def module_settings_path(home):
	return os.path.join(config_dir(home), "plugin_config", MODULE, "settings.json")


def install_module(home, module_path, data_dir):
	"""Installs the built module and its data as a user plug-in of that home."""
	if not os.path.isfile(module_path):
		raise HarnessError(f"{module_path} is missing; build first")
	base = os.path.join(config_dir(home), "plugins", MODULE)
	shutil.rmtree(base, ignore_errors=True)
	os.makedirs(os.path.join(base, "bin", "64bit"))
	shutil.copy2(module_path, os.path.join(base, "bin", "64bit", MODULE + ".so"))
	shutil.copytree(data_dir, os.path.join(base, "data"))


def _scene_item(item_id, source):
	return {
		"name": source["name"],
		"source_uuid": source["uuid"],
		"visible": True,
		"locked": False,
		"rot": 0.0,
		"pos": {"x": 0.0, "y": 0.0},
		"scale": {"x": 1.0, "y": 1.0},
		"align": 5,
		"bounds_type": 0,
		"bounds_align": 0,
		"bounds": {"x": 0.0, "y": 0.0},
		"crop_left": 0,
		"crop_top": 0,
		"crop_right": 0,
		"crop_bottom": 0,
		"id": item_id,
		"group_item_backup": False,
		"scale_filter": "disable",
		"blend_method": "default",
		"blend_type": "normal",
		"show_transition": {"duration": 0},
		"hide_transition": {"duration": 0},
		"private_settings": {},
	}


def _source(kind, name, settings, mixers):
	return {
		"name": name,
		"uuid": str(uuid.uuid4()),
		"id": kind,
		"versioned_id": kind,
		"settings": settings,
		"mixers": mixers,
		"sync": 0,
		"flags": 0,
		"volume": 1.0,
		"balance": 0.5,
		"enabled": True,
		"muted": False,
		"push-to-mute": False,
		"push-to-mute-delay": 0,
		"push-to-talk": False,
		"push-to-talk-delay": 0,
		"hotkeys": {},
		"deinterlace_mode": 0,
		"deinterlace_field_order": 0,
		"monitoring_type": 0,
		"private_settings": {},
	}


def media_source(name, playlist, loop=True, shuffle=False, behavior="stop_restart"):
	settings = {
		"playlist": [{"value": p, "hidden": False, "selected": False} for p in playlist],
		"loop": loop,
		"shuffle": shuffle,
		"playback_behavior": behavior,
	}
	return _source("vlc_source", name, settings, 255)


def text_source(name, text="", size=64):
	"""A FreeType 2 text source, OBS's text source on Linux and macOS."""
	settings = {"text": text, "font": {"face": "DejaVu Sans", "style": "Book", "size": size, "flags": 0},
		    "outline": True}
	source = _source("text_ft2_source", name, settings, 0)
	source["versioned_id"] = "text_ft2_source_v2"
	return source


def add_to_scene(data, scene_name, source, pos=(0.0, 0.0)):
	"""Adds a source to a collection (as made by collection()) and shows it in one of its scenes."""
	data["sources"].append(source)
	for s in data["sources"]:
		if s["id"] == "scene" and s["name"] == scene_name:
			items = s["settings"]["items"]
			item = _scene_item(len(items) + 1, source)
			item["pos"] = {"x": float(pos[0]), "y": float(pos[1])}
			items.append(item)
			s["settings"]["id_counter"] = len(items)
			return
	raise HarnessError(f"the collection has no scene {scene_name!r}")


def collection(name, scenes, current):
	"""A scene collection in OBS 30's format (OBS 32 reads it too).

	scenes: list of (scene name, [sources shown in it]); each source is a dict from
	media_source(). Scene items refer to their sources by uuid.
	"""
	sources = []
	seen = set()
	for scene_name, members in scenes:
		items = [_scene_item(i + 1, s) for i, s in enumerate(members)]
		scene = _source("scene", scene_name, {"id_counter": len(items), "custom_size": False, "items": items}, 0)
		sources.append(scene)
		for s in members:
			if s["uuid"] not in seen:
				seen.add(s["uuid"])
				sources.append(s)
	return {
		"current_scene": current,
		"current_program_scene": current,
		"scene_order": [{"name": n} for n, _ in scenes],
		"name": name,
		"sources": sources,
		"groups": [],
		"quick_transitions": [],
		"transitions": [],
		"saved_projectors": [],
		"current_transition": "Cut",
		"transition_duration": 300,
		"preview_locked": False,
		"scaling_enabled": False,
		"scaling_level": 0,
		"scaling_off_x": 0.0,
		"scaling_off_y": 0.0,
		"modules": {},
	}


def write_collection(home, data, file_name=None):
	path = collection_path(home, file_name or data["name"])
	os.makedirs(os.path.dirname(path), exist_ok=True)
	with open(path, "w") as f:
		json.dump(data, f, indent=4)
	return path


def read_collection(home, file_name):
	with open(collection_path(home, file_name)) as f:
		return json.load(f)


def _qstring(text):
	data = text.encode("utf-16-be")
	return struct.pack(">I", len(data)) + data


def dock_state(dock_geometry=DOCK_GEOMETRY):
	"""A QMainWindow state (as OBS keeps it in global.ini) with the module's dock shown floating.

	A dock added by a plug-in starts hidden; OBS restores this state after loading its plug-ins,
	which shows it. The host's own docks keep the places a fresh OBS 30 gives them.
	"""
	host_docks = [("scenesDock", 0, 214, 152), ("sourcesDock", 218, 214, 152), ("mixerDock", 436, 278, 222),
		      ("transitionsDock", 718, 164, 164), ("controlsDock", 886, 200, 162)]
	out = struct.pack(">ii", 0xFF, 0)  # main window state marker, version
	out += b"\xfd" + struct.pack(">i", 1)  # dock areas: one, the bottom one
	out += struct.pack(">iii", 3, 1086, 216)
	out += b"\xfc" + bytes([1]) + struct.pack(">i", len(host_docks) + 2)  # a horizontal sequence
	for name, pos, size, minimum in host_docks:
		out += b"\xfb" + _qstring(name) + bytes([1]) + struct.pack(">iiii", pos, size, minimum, 0xFFFFFF)
	# Floating items: visibility flag 1, floating flag 2, then the window geometry.
	out += b"\xfb" + _qstring("statsDock") + bytes([2]) + struct.pack(">iiii", 610, 440, 700, 200)
	out += b"\xfb" + _qstring(MODULE) + bytes([3]) + struct.pack(">iiii", *dock_geometry)
	out += struct.pack(">ii", 1086, 452)  # central widget
	out += struct.pack(">iiii", 4, 4, 8, 8)  # corners
	out += b"\xfc" + struct.pack(">i", 0)  # no tool bars
	return base64.b64encode(out).decode()


def saved_dock_state(home, name=MODULE):
	"""How OBS left a dock in the window state it keeps in its user settings: (visible, floating,
	geometry), geometry being (x, y, width, height) for a floating dock and None otherwise; None when
	the state does not name the dock."""
	path = os.path.join(config_dir(home), user_settings_file())
	try:
		with open(path, encoding="utf-8") as f:
			found = re.search(r"(?m)^DockState=(\S+)$", f.read())
	except OSError:
		return None
	if not found:
		return None
	state = base64.b64decode(found.group(1))
	marker = b"\xfb" + _qstring(name)
	at = state.find(marker)
	if at < 0:
		return None
	at += len(marker)
	flags = state[at]
	geometry = struct.unpack(">iiii", state[at + 1:at + 17]) if flags & 2 else None
	return bool(flags & 1), bool(flags & 2), geometry


def prepare_home(home, module_path, data_dir, media, *, collection_name="Demo", show_dock=True, bind=True,
		 websocket_port=WEBSOCKET_PORT):
	"""A fresh OBS configuration home holding the module and the demo collection.

	Returns what the collection holds: the source and scene names and uuids and the playlist.
	"""
	shutil.rmtree(home, ignore_errors=True)
	cfg = config_dir(home)
	os.makedirs(os.path.join(cfg, "basic", "profiles", "Untitled"))
	install_module(home, module_path, data_dir)

	playlist = media["files"] + [media["folder"]]
	music = media_source("Music", playlist)
	data = collection(collection_name, [("Stage", [music]), ("Backstage", [])], current="Backstage")
	write_collection(home, data)

	# OBS 30 keeps these in global.ini; OBS 31 and later keep them in user.ini (without FirstRun
	# there, OBS 32 opens its first-run wizard over the main window), naming the collection's file
	# with its extension. Each OBS reads its own file and leaves the other alone.
	for name, collection_file in (("global.ini", collection_name), ("user.ini", collection_name + ".json")):
		with open(os.path.join(cfg, name), "w") as f:
			f.write("[General]\nFirstRun=true\nEnableAutoUpdates=false\n\n")
			f.write("[Basic]\nProfile=Untitled\nProfileDir=Untitled\n")
			f.write(f"SceneCollection={collection_name}\nSceneCollectionFile={collection_file}\n\n")
			f.write("[BasicWindow]\nDocksLocked=false\n")
			if show_dock:
				f.write(f"DockState={dock_state()}\n")
	with open(os.path.join(cfg, "basic", "profiles", "Untitled", "basic.ini"), "w") as f:
		f.write("[General]\nName=Untitled\n")

	if websocket_port:
		ws_dir = os.path.join(cfg, "plugin_config", "obs-websocket")
		os.makedirs(ws_dir)
		with open(os.path.join(ws_dir, "config.json"), "w") as f:
			json.dump({"first_load": False, "server_enabled": True, "server_port": websocket_port,
				   "alerts_enabled": False, "auth_required": False, "server_password": ""}, f)

	if bind:
		os.makedirs(os.path.dirname(module_settings_path(home)))
		with open(module_settings_path(home), "w") as f:
			f.write(json.dumps({"remainingTime": False, "sourceUuid": music["uuid"]}, separators=(",", ":")))

	scenes = {s["name"]: s["uuid"] for s in data["sources"] if s["id"] == "scene"}
	return {
		"collection": collection_name,
		"source_name": music["name"],
		"source_uuid": music["uuid"],
		"playlist": playlist,
		"scenes": scenes,
		"source_scene": "Stage",
	}


def add_collection(home, name, playlist, source_name="Jingles"):
	"""Writes a further collection (for switching to): one scene showing one media source."""
	source = media_source(source_name, playlist)
	write_collection(home, collection(name, [("Only", [source])], current="Only"))
	return {"collection": name, "source_name": source_name, "source_uuid": source["uuid"], "playlist": playlist}


def record_to(home, folder):
	"""Makes the profile record OBS's output (simple output mode, Matroska) into folder, with a small
	canvas so that encoding it costs little, and the video encoder without look-ahead, so that the
	recording's duration as OBS reports it stays close to what has been mixed."""
	os.makedirs(folder, exist_ok=True)
	with open(os.path.join(config_dir(home), "basic", "profiles", "Untitled", "basic.ini"), "a") as f:
		f.write("\n[Video]\nBaseCX=320\nBaseCY=180\nOutputCX=320\nOutputCY=180\nFPSType=0\nFPSCommon=30\n")
		f.write("\n[Audio]\nSampleRate=48000\nChannelSetup=Stereo\n")
		f.write("\n[Output]\nMode=Simple\n")
		f.write(f"\n[SimpleOutput]\nFilePath={folder}\nRecFormat2=mkv\nRecQuality=Stream\nStreamEncoder=x264\n"
			"RecEncoder=x264\nVBitrate=300\nABitrate=160\nPreset=ultrafast\nx264Settings=tune=zerolatency\n"
			"FileNameWithoutSpace=true\n")


def tone_stretches(recording, frequencies, block_ms=20, min_seconds=0.06):
	"""The stretches of a recording's audio in which each frequency sounds, in order:
	[(frequency, start_s, end_s)], measured in blocks of block_ms from the start of the recording.
	A block counts for the frequency that fills it most, with more than a fifth of that frequency's
	loudest block; a stretch ends at a block without it. Stretches shorter than min_seconds are left
	out: the click of a tone's onset reads as a moment of every frequency."""
	import array
	import math

	rate = 48000
	# Silence padded in front where the audio starts after the recording does, so that times here are
	# the recording's own.
	pcm = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", recording, "-vn", "-af",
			      "aresample=async=1:first_pts=0", "-ac", "1", "-ar", str(rate), "-f", "f32le", "-"],
			     check=True, capture_output=True, timeout=120).stdout
	samples = array.array("f")
	samples.frombytes(pcm[:len(pcm) // 4 * 4])
	n = rate * block_ms // 1000
	blocks = len(samples) // n
	levels = {}
	for frequency in frequencies:
		coeff = 2.0 * math.cos(2.0 * math.pi * frequency / rate)
		row = []
		for b in range(blocks):
			s1 = s2 = 0.0
			for x in samples[b * n:(b + 1) * n]:
				s1, s2 = x + coeff * s1 - s2, s1
			row.append(math.sqrt(max(s1 * s1 + s2 * s2 - coeff * s1 * s2, 0.0)))
		levels[frequency] = row
	loudest = {f: max(row, default=0.0) for f, row in levels.items()}
	stretches = []
	last = None
	for b in range(blocks):
		present, share = None, 0.0
		for f in frequencies:
			s = levels[f][b] / loudest[f] if loudest[f] > 0 else 0.0
			if s > 0.2 and s > share:
				present, share = f, s
		if present is None:
			last = None
			continue
		if present != last:
			stretches.append([present, b * block_ms / 1000.0, 0.0])
		stretches[-1][2] = (b + 1) * block_ms / 1000.0
		last = present
	return [tuple(s) for s in stretches if s[2] - s[1] >= min_seconds]


class StreamServer:
	"""Serves one file over HTTP without a Content-Length, the body ending when the connection
	closes, as a stream server does. It listens on loopback inside OBS's network namespace."""

	def __init__(self, path, port):
		with open(path, "rb") as f:
			self.body = f.read()
		self.listener = None
		self.requests = 0
		# OBS's network namespace is its own, so a port fixed in advance is free there, and the
		# collection can name the stream before OBS starts.
		self.port = port

	def start(self, obs):
		import socket
		import threading

		def listen():
			sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
			sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
			sock.bind(("127.0.0.1", self.port))
			sock.listen(4)
			return sock

		# A socket keeps the namespace it was made in; the serving thread may run anywhere.
		self.listener = in_network_namespace(obs.proc.pid, listen)
		threading.Thread(target=self._serve, daemon=True).start()
		return self

	def url(self, name):
		return f"http://127.0.0.1:{self.port}/{name}"

	def _serve(self):
		while True:
			try:
				conn, _ = self.listener.accept()
			except OSError:
				return
			try:
				conn.settimeout(10)
				request = b""
				while b"\r\n\r\n" not in request:
					chunk = conn.recv(4096)
					if not chunk:
						break
					request += chunk
				if b"\r\n\r\n" in request:
					self.requests += 1
					conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\nConnection: close\r\n\r\n" + self.body)
			except OSError:
				pass
			finally:
				conn.close()

	def close(self):
		if self.listener:
			self.listener.close()


# ---------------------------------------------------------------------------------------------
# X server


class Xvfb:
	"""A private X server.

	Display numbers are drawn at random from a high range rather than taken from the lowest free
	one: other X servers run beside this one in the same /tmp (parallel test runs), and OBS, in a
	network namespace of its own, reaches the server only through its socket file in
	/tmp/.X11-unix, so two servers that both think they own a number would mix up their clients.
	"""

	def __init__(self, size=SCREEN):
		self.size = size
		self.proc = None
		self.display = None

	def _try(self, number):
		r, w = os.pipe()
		try:
			proc = subprocess.Popen(
				["Xvfb", f":{number}", "-displayfd", str(w), "-screen", "0", f"{self.size[0]}x{self.size[1]}x24",
				 "-nolisten", "tcp", "-noreset"], pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
			os.close(w)
			w = None
			# Xvfb writes the number and the newline separately, and dies if the newline
			# cannot be written: read up to the newline before closing the pipe.
			data = b""
			deadline = time.monotonic() + 30
			while not data.endswith(b"\n"):
				ready, _, _ = select.select([r], [], [], max(0.0, deadline - time.monotonic()))
				chunk = os.read(r, 64) if ready else b""
				if not chunk:
					break
				data += chunk
			reported = data.decode().strip()
		finally:
			if w is not None:
				os.close(w)
			os.close(r)
		if reported == str(number) and proc.poll() is None:
			return proc
		proc.kill()
		proc.wait(timeout=10)
		return None

	def __enter__(self):
		import random
		candidates = random.sample(range(100, 1000), 20)
		for number in candidates:
			if os.path.exists(f"/tmp/.X11-unix/X{number}") or os.path.exists(f"/tmp/.X{number}-lock"):
				continue
			self.proc = self._try(number)
			if self.proc:
				self.display = f":{number}"
				return self
		raise HarnessError("could not start Xvfb on any of 20 display numbers")

	def __exit__(self, *exc):
		if self.proc and self.proc.poll() is None:
			self.proc.terminate()
			try:
				self.proc.wait(timeout=10)
			except subprocess.TimeoutExpired:
				self.proc.kill()
				self.proc.wait(timeout=10)
		return False


# ---------------------------------------------------------------------------------------------
# OBS


class Obs:
	"""One OBS process on a prepared home, in a network namespace with only loopback up."""

	def __init__(self, home, display, collection="Demo", extra_args=()):
		self.home = home
		self.display = display
		self.collection = collection
		self.extra_args = list(extra_args)
		self.proc = None
		self.console_path = os.path.join(home, "obs-console.txt")
		self._log_path = None
		self.exit_code = None

	def start(self):
		logs = os.path.join(config_dir(self.home), "logs")
		self._logs_before = set(os.listdir(logs)) if os.path.isdir(logs) else set()
		env = {k: v for k, v in os.environ.items() if not k.startswith("XDG_")}
		env.update(HOME=self.home, DISPLAY=self.display, QT_QPA_PLATFORM="xcb", LANG="C.UTF-8")
		# A core in the home, should OBS crash, for crash_report() to read: a crash seen once in many
		# runs is otherwise gone with the run.
		cmd = ["unshare", "--net", "sh", "-c", 'ip link set lo up && { ulimit -c unlimited 2>/dev/null; exec "$@"; }',
		       "sh", "obs", "--disable-shutdown-check", "--disable-updater", "--multi", "--collection", self.collection]
		cmd += self.extra_args
		self._console = open(self.console_path, "wb")
		# A session of its own: a Ctrl-C meant for the caller's terminal reaches OBS only through stop().
		self.proc = subprocess.Popen(cmd, env=env, cwd=self.home, stdin=subprocess.DEVNULL, stdout=self._console,
					     stderr=subprocess.STDOUT, start_new_session=True)
		return self

	def running(self):
		return self.proc is not None and self.proc.poll() is None

	def _check_alive(self, what):
		if not self.running():
			raise HarnessError(f"OBS exited with {self.proc.returncode} while waiting for {what}; "
					   f"console: {self.console_path}; log: {self._log_path}\n{self.console_tail()}"
					   f"{self.crash_report()}")

	def log_path(self, timeout=30):
		if self._log_path:
			return self._log_path
		logs = os.path.join(config_dir(self.home), "logs")

		def find():
			self._check_alive("its log file")
			if not os.path.isdir(logs):
				return None
			new = sorted(n for n in os.listdir(logs) if n.endswith(".txt") and n not in self._logs_before)
			return os.path.join(logs, new[-1]) if new else None

		self._log_path = wait_until(find, timeout, "the OBS log file")
		return self._log_path

	def log_text(self):
		with open(self.log_path(), encoding="utf-8", errors="replace") as f:
			return f.read()

	def console_text(self):
		if not self._console.closed:
			self._console.flush()
		with open(self.console_path, encoding="utf-8", errors="replace") as f:
			return f.read()

	def console_tail(self, lines=30):
		try:
			return "\n".join(self.console_text().splitlines()[-lines:])
		except OSError:
			return ""

	def wait_for_log(self, pattern, timeout, fail_pattern=None):
		"""Waits for a line of the OBS log matching pattern; returns the match."""
		regex = re.compile(pattern) if isinstance(pattern, str) else pattern
		fail = re.compile(fail_pattern) if isinstance(fail_pattern, str) else fail_pattern

		def look():
			text = self.log_text()
			if fail:
				bad = fail.search(text)
				if bad:
					raise HarnessError(f"OBS logged: {bad.group(0)!r} ({self.log_path()})")
			found = regex.search(text)
			if not found:
				self._check_alive(f"the log line {regex.pattern!r}")
			return found

		return wait_until(look, timeout, f"the log line {regex.pattern!r} in {self.log_path()}", interval=0.2)

	def wait_for_module(self, timeout=60):
		return self.wait_for_log(LOAD_LINE, timeout, fail_pattern=REFUSAL_LINE)

	def module_lines(self, levels=("warning", "error")):
		"""The module's lines on OBS's console at the given levels.

		The log file carries no levels; OBS also writes each line to its console prefixed by
		the level, which is where the levels are read.
		"""
		found = []
		for line in self.console_text().splitlines():
			level, sep, rest = line.partition(": ")
			if sep and level in levels and rest.startswith("[" + MODULE + "]"):
				found.append(line)
		return found

	def stop(self, timeout=30):
		"""SIGINT, then waits for OBS to exit; kills it and fails after timeout seconds."""
		if self.proc is None:
			return None
		if self.proc.poll() is None:
			self.proc.send_signal(signal.SIGINT)
			try:
				self.proc.wait(timeout=timeout)
			except subprocess.TimeoutExpired:
				where = self.threads_now()
				tail = self.console_tail(25)
				self.kill()
				raise HarnessError(f"OBS did not exit within {timeout} s of SIGINT; killed it\n"
						   f"its threads then:\n{where}\nthe end of its log:\n{tail}")
		self.exit_code = self.proc.returncode
		self._console.close()
		if self.exit_code < 0:
			print(f"[harness] OBS ended by signal {-self.exit_code}{self.crash_report()}", file=sys.stderr)
		return self.exit_code

	def crash_report(self):
		"""The crashed thread's stack and the other threads' tops, read from the core OBS left in its
		home; nothing when there is none or no gdb to read it. The core goes once read: it is large."""
		core = os.path.join(self.home, "core")
		gdb, obs = shutil.which("gdb"), shutil.which("obs")
		if self.proc is None or self.proc.poll() is None or not os.path.isfile(core):
			return ""
		if not gdb or not obs:
			return f"\na core is in {core}; no gdb to read it"
		try:
			out = subprocess.run([gdb, "-batch", "-nx", "-ex", "set pagination off", "-ex", "bt 40",
					      "-ex", "thread apply all bt 6", obs, core], capture_output=True, text=True,
					     timeout=120).stdout
		except (OSError, subprocess.TimeoutExpired) as e:
			return f"\na core is in {core}; gdb failed: {e}"
		os.remove(core)
		lines = [l for l in out.splitlines() if l.startswith(("Thread ", "#", "Program terminated"))]
		return "\nwhere it crashed (from its core):\n" + "\n".join(lines)

	def threads_now(self):
		"""Where OBS is, for a run that hangs: what the kernel says each thread waits in, the windows
		on the screen, and the threads' stacks when gdb is at hand."""
		lines = []
		pid = self.proc.pid
		try:
			for tid in sorted(os.listdir(f"/proc/{pid}/task"), key=int):
				def read(name):
					try:
						with open(f"/proc/{pid}/task/{tid}/{name}") as f:
							return f.read().strip()
					except OSError:
						return "?"
				state = read("stat").rpartition(")")[2].split()[:1]
				lines.append(f"  {tid} {read('comm')} {''.join(state)} {read('wchan')}")
		except OSError as e:
			lines.append(f"  (no threads to read: {e})")
		try:
			for window in visible_windows(self.display, ".", exact=False):
				title = xdotool(self.display, "getwindowname", str(window)).stdout.strip()
				lines.append(f"  window {window} {title!r} {window_geometry(self.display, window)}")
		except (OSError, ValueError, KeyError, subprocess.TimeoutExpired) as e:
			lines.append(f"  (no windows to read: {e})")
		gdb = shutil.which("gdb")
		if gdb:
			try:
				out = subprocess.run([gdb, "-p", str(pid), "-batch", "-nx", "-ex", "set pagination off",
						      "-ex", "thread apply all bt 20"], capture_output=True, text=True,
						     timeout=60).stdout
				lines += [l for l in out.splitlines() if l.startswith(("Thread ", "#"))]
			except (OSError, subprocess.TimeoutExpired) as e:
				lines.append(f"  (gdb: {e})")
		return "\n".join(lines)

	def kill(self):
		if self.proc and self.proc.poll() is None:
			self.proc.kill()
			self.proc.wait(timeout=10)
		if self.proc and not self._console.closed:
			self._console.close()

	def __enter__(self):
		return self.start()

	def __exit__(self, *exc):
		self.kill()
		return False


# ---------------------------------------------------------------------------------------------
# obs-websocket (protocol 5) client


def has_own_network_namespace(pid):
	try:
		return os.readlink(f"/proc/{pid}/ns/net") != os.readlink("/proc/self/ns/net")
	except OSError:
		return False


def in_network_namespace(pid, fn):
	"""Runs fn in a thread that has joined the network namespace of process pid."""
	import ctypes
	import threading

	outcome = {}

	def run():
		try:
			libc = ctypes.CDLL(None, use_errno=True)
			fd = os.open(f"/proc/{pid}/ns/net", os.O_RDONLY)
			try:
				if libc.setns(fd, 0x40000000) != 0:  # CLONE_NEWNET; affects this thread only
					raise HarnessError(f"cannot join OBS's network namespace: errno {ctypes.get_errno()}")
			finally:
				os.close(fd)
			outcome["value"] = fn()
		except BaseException as e:
			outcome["error"] = e

	thread = threading.Thread(target=run, daemon=True)
	thread.start()
	thread.join(60)
	if thread.is_alive():
		raise HarnessError("connecting inside OBS's network namespace did not finish within 60 s")
	if "error" in outcome:
		raise outcome["error"]
	return outcome["value"]


def stall_thread(tid, seconds, during=None):
	"""Stops one thread of a running process for the given time while the others run on, as a
	thread kept busy elsewhere would be (OBS's UI thread in a long task, say); runs during()
	meanwhile and returns what it returned.

	Through ptrace, which stops only the thread it seizes and lets it go on where it was. Every
	ptrace call of one tracee must come from the thread that seized it: this one, throughout."""
	import ctypes

	libc = ctypes.CDLL(None, use_errno=True)
	libc.ptrace.restype = ctypes.c_long
	libc.ptrace.argtypes = [ctypes.c_long, ctypes.c_long, ctypes.c_void_p, ctypes.c_void_p]
	PTRACE_DETACH, PTRACE_SEIZE, PTRACE_INTERRUPT = 17, 0x4206, 0x4207
	WALL = 0x40000000

	def check(result, what):
		if result == -1:
			raise HarnessError(f"{what} of thread {tid} failed: errno {ctypes.get_errno()}")

	check(libc.ptrace(PTRACE_SEIZE, tid, None, None), "ptrace seize")
	try:
		started = time.monotonic()
		check(libc.ptrace(PTRACE_INTERRUPT, tid, None, None), "ptrace interrupt")
		status = ctypes.c_int(0)
		check(libc.waitpid(tid, ctypes.byref(status), WALL), "waiting for the stop")
		result = during() if during else None
		time.sleep(max(0.0, seconds - (time.monotonic() - started)))
		return result
	finally:
		check(libc.ptrace(PTRACE_DETACH, tid, None, None), "ptrace detach")


class RequestFailed(HarnessError):
	def __init__(self, request, code, comment):
		super().__init__(f"{request} failed with code {code}: {comment}")
		self.code = code


class ObsWebSocket:
	NOT_READY = 207

	# Event subscription bits of protocol 5.
	VENDOR_EVENTS = 1 << 9

	def __init__(self, port=WEBSOCKET_PORT, timeout=10, event_subscriptions=0):
		self.port = port
		self.timeout = timeout
		self.event_subscriptions = event_subscriptions
		self.ws = None
		self._next_id = 0
		self.events = []  # events received and not yet taken by wait_event, oldest first

	def connect(self, obs=None, timeout=60):
		"""Connects and identifies; retries while the server is not up yet."""
		import websocket

		def attempt():
			if obs is not None:
				obs._check_alive("obs-websocket")
			try:
				ws = websocket.create_connection(f"ws://127.0.0.1:{self.port}", timeout=self.timeout)
			except (ConnectionError, OSError, websocket.WebSocketException):
				return None
			hello = json.loads(ws.recv())
			if hello.get("op") != 0:
				ws.close()
				raise HarnessError(f"unexpected first message from obs-websocket: {hello}")
			ws.send(json.dumps({"op": 1, "d": {"rpcVersion": 1, "eventSubscriptions": self.event_subscriptions}}))
			identified = json.loads(ws.recv())
			if identified.get("op") != 2:
				ws.close()
				raise HarnessError(f"obs-websocket did not identify us: {identified}")
			return ws

		def attempt_inside():
			# The server listens only inside OBS's network namespace: open the socket from there. A
			# socket keeps the namespace it was made in, so the rest of the session runs from here.
			if obs is None or obs.proc is None:
				return attempt()
			if not has_own_network_namespace(obs.proc.pid):
				return None  # not yet unshared
			return in_network_namespace(obs.proc.pid, attempt)

		self.ws = wait_until(attempt_inside, timeout, "obs-websocket to accept a connection", interval=0.25)
		return self

	def request(self, request_type, data=None):
		self._next_id += 1
		rid = str(self._next_id)
		message = {"op": 6, "d": {"requestType": request_type, "requestId": rid}}
		if data is not None:
			message["d"]["requestData"] = data
		self.ws.send(json.dumps(message))
		while True:
			reply = json.loads(self.ws.recv())
			if reply.get("op") == 5:
				self.events.append(reply["d"])
			if reply.get("op") == 7 and reply["d"].get("requestId") == rid:
				break
		status = reply["d"]["requestStatus"]
		if not status.get("result"):
			raise RequestFailed(request_type, status.get("code"), status.get("comment", ""))
		return reply["d"].get("responseData", {})

	def vendor_request(self, vendor, request_type, data=None):
		"""A request of a plug-in's vendor through CallVendorRequest; returns the vendor's answer."""
		reply = self.request("CallVendorRequest", {"vendorName": vendor, "requestType": request_type,
							   "requestData": data or {}})
		return reply.get("responseData", {})

	def wait_event(self, match, timeout):
		"""Takes the first event (the message's "d") for which match() is true, waiting up to timeout
		seconds for it; other events stay for later calls. None when none came."""
		import websocket

		deadline = time.monotonic() + timeout
		while True:
			for i, event in enumerate(self.events):
				if match(event):
					return self.events.pop(i)
			remaining = deadline - time.monotonic()
			if remaining <= 0:
				return None
			self.ws.settimeout(remaining)
			try:
				message = json.loads(self.ws.recv())
			except websocket.WebSocketTimeoutException:
				return None
			finally:
				self.ws.settimeout(self.timeout)
			if message.get("op") == 5:
				self.events.append(message["d"])

	def wait_ready(self, obs=None, timeout=60):
		"""Waits until OBS has finished loading: until then obs-websocket answers "not ready"."""

		def ready():
			if obs is not None:
				obs._check_alive("OBS to finish loading")
			try:
				return self.request("GetCurrentProgramScene") or True
			except RequestFailed as e:
				if e.code == self.NOT_READY:
					return None
				raise

		return wait_until(ready, timeout, "OBS to finish loading", interval=0.25)

	# Conveniences for what the tests ask most.
	def input_settings(self, name):
		return self.request("GetInputSettings", {"inputName": name})["inputSettings"]

	def set_input_settings(self, name, settings, overlay=True):
		self.request("SetInputSettings", {"inputName": name, "inputSettings": settings, "overlay": overlay})

	def program_scene(self):
		return self.request("GetCurrentProgramScene")["currentProgramSceneName"]

	def set_program_scene(self, name):
		self.request("SetCurrentProgramScene", {"sceneName": name})

	def set_collection(self, name):
		self.request("SetCurrentSceneCollection", {"sceneCollectionName": name})

	def set_studio_mode(self, enabled):
		self.request("SetStudioModeEnabled", {"studioModeEnabled": enabled})

	def close(self):
		if self.ws is not None:
			try:
				self.ws.close()
			except Exception:
				pass
			self.ws = None

	def __enter__(self):
		return self

	def __exit__(self, *exc):
		self.close()
		return False


# ---------------------------------------------------------------------------------------------
# The operator's side: the X display


def xdotool(display, *args, timeout=10):
	result = subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=display), capture_output=True,
				text=True, timeout=timeout)
	return result


def visible_windows(display, name, only_visible=True, exact=True):
	"""Ids of the mapped windows (or of all windows) whose title is exactly name (or, not exact,
	matches the regular expression name)."""
	pattern = "^" + re.escape(name) + "$" if exact else name
	result = xdotool(display, "search", *(["--onlyvisible"] if only_visible else []), "--name", pattern)
	return [int(w) for w in result.stdout.split()]


def window_geometry(display, window):
	out = xdotool(display, "getwindowgeometry", "--shell", str(window)).stdout
	values = dict(line.split("=", 1) for line in out.split() if "=" in line)
	return tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))


def screenshot(display, path):
	tmp = path + ".part.png"
	subprocess.run(["import", "-window", "root", tmp], env=dict(os.environ, DISPLAY=display), check=True,
		       timeout=60, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
	os.replace(tmp, path)
	return path


def small_picture(shot, out, boxes, width=1200):
	"""Cuts a screenshot down to the box around the given window geometries and scales it to a
	width and a small palette, so that it stays small enough to keep in the repository."""
	if not boxes:
		raise HarnessError("no window to cut the picture to")
	left = min(b[0] for b in boxes)
	top = min(b[1] for b in boxes)
	right = max(b[0] + b[2] for b in boxes)
	bottom = max(b[1] + b[3] for b in boxes)
	os.makedirs(os.path.dirname(out) or ".", exist_ok=True)
	tmp = out + ".part.png"
	subprocess.run(["convert", shot, "-crop", f"{right - left}x{bottom - top}+{left}+{top}", "+repage", "-resize",
			f"{width}x", "-colors", "128", "-strip", "PNG8:" + tmp], check=True, timeout=60)
	os.replace(tmp, out)
	return out


def gray_pixels(shot, box):
	"""The 8-bit gray levels of a box (x, y, width, height) of a screenshot, row by row."""
	x, y, width, height = box
	out = subprocess.run(["convert", shot, "-crop", f"{width}x{height}+{x}+{y}", "+repage", "-colorspace", "Gray",
			      "-depth", "8", "gray:-"], check=True, capture_output=True, timeout=60).stdout
	if len(out) != width * height:
		raise HarnessError(f"expected {width * height} gray pixels from {shot}, got {len(out)}")
	return [out[r * width:(r + 1) * width] for r in range(height)]


def light_runs(rows, light=160):
	"""The runs of adjacent columns holding at least one light pixel, as (first, last) column pairs:
	on OBS's dark themes, the icons drawn on a row of tool buttons."""
	width = len(rows[0]) if rows else 0
	runs = []
	for column in range(width):
		if any(row[column] >= light for row in rows):
			if runs and runs[-1][1] == column - 1:
				runs[-1] = (runs[-1][0], column)
			else:
				runs.append((column, column))
	return runs


MAIN_WINDOW_TITLE = r"^OBS [0-9][^ ]* - Profile: "
# The menu bar runs along the top of the main window; its far right end holds no menu.
MENU_BAR_Y = 11
MENU_BAR_FREE_END = 20


def show_dock_from_docks_menu(display, timeout=15):
	"""Shows the dock as an operator does, from the main window's Docks menu.

	A click on the free end of the menu bar makes the main window the active one, so that Alt+D,
	the Docks menu's mnemonic, opens that menu with its first entry highlighted. The docks of
	plug-ins come last in it, and the module's is the only one here: Up wraps round to it and
	Return toggles it on. Returns the geometry of the menu that opened.
	"""
	main = wait_until(lambda: visible_windows(display, MAIN_WINDOW_TITLE, exact=False), timeout,
			  "OBS's main window", interval=0.25)
	if len(main) != 1:
		raise HarnessError(f"expected one OBS main window, found {len(main)}")
	x, y, width, _ = window_geometry(display, main[0])

	def run(*args):
		result = xdotool(display, *args)
		if result.returncode != 0:
			raise HarnessError(f"xdotool {' '.join(args)} failed: {result.stderr.strip()}")

	def mapped():
		return set(xdotool(display, "search", "--onlyvisible", "--class", ".").stdout.split())

	run("mousemove", str(x + width - MENU_BAR_FREE_END), str(y + MENU_BAR_Y))
	run("click", "1")
	before = mapped()
	run("key", "alt+d")
	# Keys sent before the menu is mapped would go to the main window instead.
	opened = wait_until(lambda: mapped() - before, timeout, "the Docks menu to open", interval=0.1)
	if len(opened) != 1:
		raise HarnessError(f"expected the Docks menu alone to open, {len(opened)} windows did")
	menu = window_geometry(display, int(next(iter(opened))))
	run("key", "--delay", "100", "Up", "Return")
	return menu


def place_window(display, window, geometry):
	"""Moves and resizes a top-level window, as an operator drags a floating dock into place."""
	x, y, width, height = geometry
	for args in (("windowsize", str(window), str(width), str(height)), ("windowmove", str(window), str(x), str(y))):
		result = xdotool(display, *args)
		if result.returncode != 0:
			raise HarnessError(f"xdotool {' '.join(args)} failed: {result.stderr.strip()}")
	return wait_until(lambda: window_geometry(display, window) == tuple(geometry), 10,
			  f"window {window} to take the geometry {geometry}", interval=0.1)


def wait_for_window(display, name, timeout, only_visible=True):
	"""The visible windows (or, not only_visible, all windows) titled name, waiting up to timeout
	seconds for one; [] if none came."""
	try:
		return wait_until(lambda: visible_windows(display, name, only_visible), timeout, f"a window titled {name!r}",
				  interval=0.25)
	except HarnessError:
		return []


# OBS 32.2.2's own faults, seen also without this module (never on OBS 30.2.3): now and then it
# fails to clear a collection's sources on a collection switch, logs this line (with the names left
# over) and opens a modal box that waits for OK; and now and then it reports leaked allocations at
# exit after every module has been unloaded.
CLEANUP_FAULT = re.compile(r"Not all sources were cleared when clearing scene data")
CLEANUP_ERROR_TITLE = "Source Cleanup Error"
LEAKS_LINE = re.compile(r"Number of memory leaks: (\d+)")


def cleanup_fault(log):
	"""OBS's line on a collection it could not clear, with the names it left over; None if none."""
	found = CLEANUP_FAULT.search(log)
	if not found:
		return None
	names = []
	for line in log[found.end():].splitlines()[1:]:
		text = line.split(": ", 1)[1] if re.match(r"\d\d:\d\d:\d\d\.\d+: ", line) else line
		if text.startswith("- "):
			names.append(text[2:])
		elif text.strip():
			break
	return f"{found.group(0)}: {', '.join(names)}"


def dismiss_cleanup_error(display, timeout):
	"""Presses OK on OBS's "Source Cleanup Error" box once it is there; returns whether it came."""
	boxes = wait_for_window(display, CLEANUP_ERROR_TITLE, timeout)
	for box in boxes:
		x, y, width, height = window_geometry(display, box)
		# Without a window manager the keyboard focus follows the pointer.
		xdotool(display, "mousemove", str(x + width // 2), str(y + height // 2))
		xdotool(display, "key", "Return")
	return bool(boxes)


def click_main_window(display, timeout=15):
	"""Makes OBS's main window the active one with a click on the free end of its menu bar, so that
	keys pressed next reach its shortcuts (Ctrl+Z for Edit > Undo, ...); the pointer stays there."""
	main = wait_until(lambda: visible_windows(display, MAIN_WINDOW_TITLE, exact=False), timeout,
			  "OBS's main window", interval=0.25)
	if len(main) != 1:
		raise HarnessError(f"expected one OBS main window, found {len(main)}")
	x, y, width, _ = window_geometry(display, main[0])
	for args in (("mousemove", str(x + width - MENU_BAR_FREE_END), str(y + MENU_BAR_Y)), ("click", "1")):
		result = xdotool(display, *args)
		if result.returncode != 0:
			raise HarnessError(f"xdotool {' '.join(args)} failed: {result.stderr.strip()}")


def main_window_keys(display, *keys):
	"""Presses keys on OBS's main window, one after another."""
	click_main_window(display)
	result = xdotool(display, "key", "--delay", "100", *keys)
	if result.returncode != 0:
		raise HarnessError(f"xdotool key {' '.join(keys)} failed: {result.stderr.strip()}")


class PropertiesWindow:
	"""A source's Properties window, as obs-websocket's OpenInputPropertiesDialog opens it, answered
	the way an operator answers it.

	Its button box runs along the bottom edge, with OK and Cancel at the right end; with the default
	themes of OBS 30.2 and 32.2 on this host (and the window's default size) the buttons' centres sit
	this far left of and above the window's bottom right corner. Closing the window with Escape after
	its settings changed asks "Settings Changed" with Save, Discard and Cancel at the question's right.
	"""

	TITLE = "Properties for '{}'"
	OK_FROM_CORNER = (150, 30)
	CANCEL_FROM_CORNER = (60, 30)
	QUESTION_TITLE = "Settings Changed"
	DISCARD_FROM_CORNER = (162, 22)
	# A point of the label column at the left, which takes no focus: a click there gives the window
	# the keyboard without touching a control.
	NEUTRAL_FROM_BOTTOM_LEFT = (70, 150)

	def __init__(self, display, source_name, timeout=15):
		self.display = display
		self.title = self.TITLE.format(source_name)
		windows = wait_for_window(display, self.title, timeout)
		if len(windows) != 1:
			raise HarnessError(f"expected one window titled {self.title!r}, found {len(windows)}")
		self.window = windows[0]

	def _run(self, *args):
		result = xdotool(self.display, *args)
		if result.returncode != 0:
			raise HarnessError(f"xdotool {' '.join(args)} failed: {result.stderr.strip()}")

	def _settled_geometry(self, window, timeout=5):
		"""The window's geometry once two reads a moment apart agree: a window just mapped on a busy
		machine may still be placed or sized, and a click by the old corner would miss."""
		last = window_geometry(self.display, window)
		deadline = time.monotonic() + timeout
		while time.monotonic() < deadline:
			time.sleep(0.2)
			now = window_geometry(self.display, window)
			if now == last:
				return now
			print(f"[harness] {self.title!r}: a window moved from {last} to {now}", file=sys.stderr)
			last = now
		return last

	def _click_from_corner(self, window, offset):
		x, y, width, height = self._settled_geometry(window)
		self._run("mousemove", str(x + width - offset[0]), str(y + height - offset[1]))
		self._run("click", "1")

	def _question(self):
		return visible_windows(self.display, self.QUESTION_TITLE)

	def _answer(self, window, offset, what, closes_without_asking=True, attempts=3):
		"""Clicks a button of window by its place from the corner until window closes. A click that
		did not reach the button (the machine busy) is given again; for a button that should close
		the window without asking, a question the click raised instead is OBS's answer, and fails."""
		for attempt in range(attempts):
			if attempt:
				print(f"[harness] {what} clicked again on {self.title!r}", file=sys.stderr)
			self._click_from_corner(window, offset)
			try:
				wait_until(lambda: window not in visible_windows(self.display, ".", exact=False)
					   or (closes_without_asking and self._question()), 3,
					   f"{what} to close the window", interval=0.1)
			except HarnessError:
				continue
			if closes_without_asking and self._question():
				raise HarnessError(f"{what} did not close {self.title!r}: OBS asked {self.QUESTION_TITLE!r}")
			return
		raise HarnessError(f"gave up after {attempts} clicks of {what} on {self.title!r}")

	def ok(self):
		self._answer(self.window, self.OK_FROM_CORNER, "OK")
		self._wait_closed()

	def cancel(self):
		self._answer(self.window, self.CANCEL_FROM_CORNER, "Cancel")
		self._wait_closed()

	def _wait_closed(self, timeout=10):
		wait_until(lambda: not visible_windows(self.display, self.title), timeout, f"{self.title!r} to close",
			   interval=0.1)

	def discard(self, timeout=10):
		"""Closes the window with Escape and answers its question with Discard."""
		questions = []
		for attempt in range(3):
			if attempt:
				print(f"[harness] Escape pressed again on {self.title!r}", file=sys.stderr)
			x, y, _, height = self._settled_geometry(self.window)
			self._run("mousemove", str(x + self.NEUTRAL_FROM_BOTTOM_LEFT[0]),
				  str(y + height - self.NEUTRAL_FROM_BOTTOM_LEFT[1]))
			self._run("click", "1")
			self._run("key", "Escape")
			questions = wait_for_window(self.display, self.QUESTION_TITLE, timeout / 3)
			if questions or not visible_windows(self.display, self.title):
				break
		if len(questions) != 1:
			closed = not visible_windows(self.display, self.title)
			raise HarnessError(f"expected the {self.QUESTION_TITLE!r} question, found {len(questions)} windows"
					   + ("; the window closed without asking, its settings unchanged" if closed else ""))
		self._answer(questions[0], self.DISCARD_FROM_CORNER, "Discard", closes_without_asking=False)
		self._wait_closed()


class Operator:
	"""Mouse and keyboard input on the dock's floating window, the way an operator gives it.

	There is no window manager: the X server's focus follows the pointer, so keys go to the
	window under it, and the pointer is moved onto the dock before every key.
	"""

	# Where the track list's rows sit inside the dock window with the default themes of OBS 30.2 and
	# 32.2 on this host: the title bar and the header row come first, then rows of equal height.
	FIRST_ROW_CENTER = 78
	ROW_HEIGHT = 28
	ROW_X = 150
	# The add-files button, first in the header row above the list.
	ADD_FILES = (17, 45)

	def __init__(self, display, window):
		self.display = display
		self.window = window
		self.x, self.y, self.width, self.height = window_geometry(display, window)

	def _run(self, *args):
		result = xdotool(self.display, *args)
		if result.returncode != 0:
			raise HarnessError(f"xdotool {' '.join(args)} failed: {result.stderr.strip()}")

	def row_point(self, row):
		return self.x + self.ROW_X, self.y + self.FIRST_ROW_CENTER + row * self.ROW_HEIGHT

	def click_row(self, row, button=1, repeat=1):
		x, y = self.row_point(row)
		self._run("mousemove", str(x), str(y))
		self._run("click", "--repeat", str(repeat), "--delay", "80", str(button))

	def double_click_row(self, row):
		self.click_row(row, repeat=2)

	def keys(self, *names):
		"""Presses the keys one after another while the pointer stays on the dock."""
		x, y = self.row_point(0)
		self._run("mousemove", str(x), str(y))
		self._run("key", "--delay", "80", *names)

	def choose_from_list_menu(self, row, *keys):
		"""Opens the list's context menu with a right click on a row and works it with keys."""
		before = set(self._visible())
		self.click_row(row, button=3)
		# Keys sent before the menu is mapped would reach the list instead.
		wait_until(lambda: set(self._visible()) - before, 10, "the list's context menu to open", interval=0.1)
		self._run("key", "--delay", "150", *keys)

	def open_add_files_dialog(self, title, timeout=15):
		"""Clicks the add-files button and waits for the file dialog titled title; returns its window."""
		self._run("mousemove", str(self.x + self.ADD_FILES[0]), str(self.y + self.ADD_FILES[1]))
		self._run("click", "1")
		dialogs = wait_for_window(self.display, title, timeout)
		if len(dialogs) != 1:
			raise HarnessError(f"expected one file dialog titled {title!r}, found {len(dialogs)}")
		return dialogs[0]

	def pick_in_file_dialog(self, dialog, path, timeout=15):
		"""Types path into the open file dialog's file name field, presses Return, and waits for the
		dialog to close."""
		x, y, width, height = window_geometry(self.display, dialog)
		# Keys go to the window under the pointer; the file name field has the dialog's focus.
		self._run("mousemove", str(x + width // 2), str(y + height // 2))
		self._run("type", "--delay", "20", path)
		self._run("key", "Return")
		wait_until(lambda: dialog not in [int(w) for w in self._visible()], timeout, "the file dialog to close",
			   interval=0.1)

	def _visible(self):
		return xdotool(self.display, "search", "--onlyvisible", "--class", ".").stdout.split()
