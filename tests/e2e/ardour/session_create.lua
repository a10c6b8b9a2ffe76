-- Headless Ardour session for Pelmor's end-to-end tests (run by ardour7-lua).
--   ardour7-lua session_create.lua SESSION_DIR NAME PLUGIN DRY.wav WET.wav [PARAM=VALUE ...]
-- Creates a session with one stereo track, records the Dummy backend's generator into a
-- region, exports the dry track (DRY.wav), inserts the VST3 plug-in PLUGIN, sets the
-- parameters (PARAM: the plug-in's parameter label or its input-parameter number; VALUE in
-- the parameter's own units), exports again (WET.wav) and saves the session.
-- Environment: E2E_SECONDS (default 2), E2E_DEVICE (default "Sine Wave"),
-- E2E_PRESET (export preset id, default the float WAV preset installed by the test).
-- Prints "E2E PARAM after-set N "label" value" per input parameter, then "E2E OK" or
-- "E2E FAIL: reason" (exit 0 / 1).

local T0 = ARDOUR.LuaAPI.monotonic_time()
local function log(...)
	print(string.format("[%7.3fs]", (ARDOUR.LuaAPI.monotonic_time() - T0) / 1e6), ...)
	io.stdout:flush()
end

local function wait_until(pred, timeout_s, what)
	local deadline = ARDOUR.LuaAPI.monotonic_time() + timeout_s * 1e6
	while not pred() do
		if ARDOUR.LuaAPI.monotonic_time() > deadline then error("timeout waiting for " .. what) end
		ARDOUR.LuaAPI.usleep(5000)
	end
end

-- Lets the engine and butler threads catch up after structural changes.
local function settle()
	ARDOUR.LuaAPI.usleep(200000)
	if Session then ARDOUR.LuaAPI.wait_for_process_callback(2, 1000) end
end

local session_dir, session_name, plugin_id, dry_wav, wet_wav = arg[1], arg[2], arg[3], arg[4], arg[5]
if not wet_wav then
	print("usage: ardour7-lua session_create.lua SESSION_DIR NAME PLUGIN DRY.wav WET.wav [PARAM=VALUE ...]")
	os.exit(2)
end
local seconds = tonumber(os.getenv("E2E_SECONDS") or "2")
local device  = os.getenv("E2E_DEVICE") or "Sine Wave"
local preset  = os.getenv("E2E_PRESET") or "6e0b8c2a-5d1f-4c1e-9b1a-0c1d2e3f4a02"
local rate    = 48000
local nframes = math.floor(seconds * rate)

-- Index for LuaAPI.set/get_processor_param of an input parameter given by label or number.
local function control_index(plugin, key)
	local n = tonumber(key)
	local ctl, inp = 0, 0
	for i = 0, plugin:parameter_count() - 1 do
		if plugin:parameter_is_control(i) then
			if plugin:parameter_is_input(i) then
				if (n and inp == n) or (not n and plugin:parameter_label(i) == key) then
					return ctl, plugin:parameter_label(i)
				end
				inp = inp + 1
			end
			ctl = ctl + 1
		end
	end
	return nil
end

local function dump_params(proc, tag)
	local plugin = proc:to_insert():plugin(0)
	local ctl, inp = 0, 0
	for i = 0, plugin:parameter_count() - 1 do
		if plugin:parameter_is_control(i) then
			if plugin:parameter_is_input(i) then
				local v = ARDOUR.LuaAPI.get_processor_param(proc, ctl, true)
				print(string.format("E2E PARAM %s %d %q %.6f", tag, inp, plugin:parameter_label(i), v))
				inp = inp + 1
			end
			ctl = ctl + 1
		end
	end
	io.stdout:flush()
end

local function export(path)
	local dir, base = string.match(path, "^(.*)/([^/]+)%.wav$")
	if not dir then error("export path must be absolute and end in .wav: " .. path) end
	os.remove(path)
	local ex = Session:simple_export()
	ex:set_folder(dir)
	ex:set_name(base)
	ex:set_range(0, nframes)
	ex:set_preset(preset)
	if not ex:check_outputs() then error("export: master bus has no outputs") end
	if not ex:run_export() then error("export failed (preset " .. preset .. ")") end
	local f = io.open(path, "rb")
	if not f then error("export reported success but " .. path .. " is missing") end
	f:close()
	log("exported:", path)
	settle()
end

local function main()
	local backend = AudioEngine:set_backend("None (Dummy)", "", "")
	if backend:isnil() then error("Dummy backend not available (hide-dummy-backend must be 0)") end
	backend:set_device_name(device)
	backend:set_driver("10x Speed")
	if AudioEngine:start(false) ~= 0 then error("engine start failed: " .. AudioEngine:get_last_backend_error()) end
	log("engine up:", backend:sample_rate(), backend:buffer_size())

	if not create_session(session_dir, session_name, rate) then error("create_session failed for " .. session_dir) end
	local track = Session:new_audio_track(2, 2, nil, 1, "Test", ARDOUR.PresentationInfo.max_order,
	                                      ARDOUR.TrackMode.Normal, true):front()
	if not track or track:isnil() then error("new_audio_track failed") end
	settle()

	-- Record the generator into a region, so that both exports play the same audio from disk.
	track:rec_enable_control():set_value(1, PBD.GroupControlDisposition.NoGroup)
	wait_until(function() return track:rec_enable_control():get_value() > 0.5 end, 5, "track rec-arm")
	Session:maybe_enable_record(false)
	wait_until(function() return Session:record_status() == ARDOUR.Session.RecordState.Enabled end, 5, "record enable")
	Session:request_roll(ARDOUR.TransportRequestSource.TRS_UI)
	wait_until(function() return Session:transport_sample() >= nframes + rate / 2 end, seconds * 2 + 10, "recording")
	Session:request_stop(false, false, ARDOUR.TransportRequestSource.TRS_UI)
	wait_until(function() return Session:transport_stopped() end, 10, "transport stop")
	wait_until(function() return track:playlist():n_regions() > 0 end, 10, "captured region")
	settle()
	Session:disable_record(false, false)
	track:rec_enable_control():set_value(0, PBD.GroupControlDisposition.NoGroup)
	for r in track:playlist():region_list():iter() do
		local ar = r:to_audioregion()
		ar:set_fade_in_active(false)
		ar:set_fade_out_active(false)
	end
	track:monitoring_control():set_value(ARDOUR.MonitorChoice.MonitorDisk, PBD.GroupControlDisposition.NoGroup)
	Session:request_locate(0, false, ARDOUR.LocateTransportDisposition.MustStop, ARDOUR.TransportRequestSource.TRS_UI)
	settle()

	export(dry_wav)

	local proc = ARDOUR.LuaAPI.new_plugin(Session, plugin_id, ARDOUR.PluginType.VST3, "")
	if proc:isnil() then error("VST3 plug-in not found: " .. plugin_id) end
	if track:add_processor_by_index(proc, 0, nil, true) ~= 0 then error("add_processor_by_index failed") end
	settle()
	local plugin = proc:to_insert():plugin(0)
	log("plug-in inserted:", plugin:name(), "parameters:", plugin:parameter_count())
	for i = 6, #arg do
		local key, value = string.match(arg[i], "^(.-)=(.+)$")
		local idx, label = control_index(plugin, key or "")
		if not idx then error("unknown parameter: " .. tostring(arg[i])) end
		if not ARDOUR.LuaAPI.set_processor_param(proc, idx, tonumber(value)) then
			error("set_processor_param failed for " .. arg[i])
		end
		log("set", label, "(control " .. idx .. ") =", value)
	end
	settle()
	dump_params(proc, "after-set")

	export(wet_wav)

	if Session:save_state("", false, false, false, false, false) ~= 0 then error("save_state failed") end
	log("session saved")
	settle()
end

local ok, err = pcall(main)
collectgarbage()
collectgarbage()
if Session then close_session() end
if ok then
	print("E2E OK")
	os.exit(0)
else
	print("E2E FAIL: " .. tostring(err))
	os.exit(1)
end
