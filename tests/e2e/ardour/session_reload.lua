-- Reloads a session made by session_create.lua (run by ardour7-lua):
--   ardour7-lua session_reload.lua SESSION_DIR NAME OUT.wav
-- Prints "E2E PARAM restored N "label" value" for every input parameter of every plug-in,
-- exports the session again to OUT.wav, then "E2E OK" or "E2E FAIL: reason".
-- A plug-in that cannot be loaded again is a failure ("E2E MISSING-PLUGIN name").
-- Environment: E2E_SECONDS (default 2), E2E_PRESET, E2E_RESAVE (1: save the session again at
-- the end, so that the plug-ins' states as they are after the reload go into it).

local T0 = ARDOUR.LuaAPI.monotonic_time()
local function log(...)
	print(string.format("[%7.3fs]", (ARDOUR.LuaAPI.monotonic_time() - T0) / 1e6), ...)
	io.stdout:flush()
end

local function settle()
	ARDOUR.LuaAPI.usleep(200000)
	if Session then ARDOUR.LuaAPI.wait_for_process_callback(2, 1000) end
end

local session_dir, session_name, out_wav = arg[1], arg[2], arg[3]
if not out_wav then
	print("usage: ardour7-lua session_reload.lua SESSION_DIR NAME OUT.wav")
	os.exit(2)
end
local seconds = tonumber(os.getenv("E2E_SECONDS") or "2")
local preset  = os.getenv("E2E_PRESET") or "6e0b8c2a-5d1f-4c1e-9b1a-0c1d2e3f4a02"

local function main()
	local backend = AudioEngine:set_backend("None (Dummy)", "", "")
	if backend:isnil() then error("Dummy backend not available (hide-dummy-backend must be 0)") end
	backend:set_device_name("Silence")
	backend:set_driver("10x Speed")
	if AudioEngine:start(false) ~= 0 then error("engine start failed") end

	if not load_session(session_dir, session_name) then error("load_session failed") end
	settle()
	log("session loaded:", Session:name())

	local unknown = Session:unknown_processors()
	for n in unknown:iter() do print("E2E MISSING-PLUGIN " .. n) end
	if not unknown:empty() then error("the session names plug-ins that could not be loaded") end

	local found = 0
	for track in Session:get_tracks():iter() do
		local i = 0
		while true do
			local proc = track:nth_plugin(i)
			if proc:isnil() then break end
			found = found + 1
			local plugin = proc:to_insert():plugin(0)
			local ctl, inp = 0, 0
			for k = 0, plugin:parameter_count() - 1 do
				if plugin:parameter_is_control(k) then
					if plugin:parameter_is_input(k) then
						local v = ARDOUR.LuaAPI.get_processor_param(proc, ctl, true)
						print(string.format("E2E PARAM restored %d %q %.6f", inp, plugin:parameter_label(k), v))
						inp = inp + 1
					end
					ctl = ctl + 1
				end
			end
			i = i + 1
		end
	end
	io.stdout:flush()
	if found == 0 then error("no plug-in in the reloaded session") end

	local dir, base = string.match(out_wav, "^(.*)/([^/]+)%.wav$")
	if not dir then error("OUT.wav must be an absolute path ending in .wav") end
	os.remove(out_wav)
	local ex = Session:simple_export()
	ex:set_folder(dir)
	ex:set_name(base)
	ex:set_range(0, math.floor(seconds * Session:nominal_sample_rate()))
	ex:set_preset(preset)
	if not ex:run_export() then error("export failed") end
	local f = io.open(out_wav, "rb")
	if not f then error(out_wav .. " missing after export") end
	f:close()
	log("exported:", out_wav)
	settle()

	if os.getenv("E2E_RESAVE") == "1" then
		if Session:save_state("", false, false, false, false, false) ~= 0 then error("save_state failed") end
		log("session saved again")
		settle()
	end
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
