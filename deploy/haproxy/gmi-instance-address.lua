-- Where the admin listener of gmi-server.cfg sends a request for an
-- instance by name: the address of the server of that name in the
-- gmi-instances backend, the instance list. HAProxy can pick a server by
-- name only among a backend's own rules, and that backend is the site's
-- file; reading the list here keeps it the one place instances are named.
-- Converters, so that the name can come from the request's path:
--   var(txn.instance),lua.gmi_instance_host   IP address, or no value
--   var(txn.instance),lua.gmi_instance_port   port, or no value

local backend_name = "gmi-instances"

-- "host", "port" of the named server; nothing for an unknown name.
local function instance_address(name)
  local backend = core.backends[backend_name]
  local server = backend and name and backend.servers[name]
  if server == nil then return nil end
  -- "192.0.2.1:60002" or "::1:60002": the port follows the last colon.
  return server:get_addr():match("^(.*):(%d+)$")
end

core.register_converters("gmi_instance_host", function(name)
  local host = instance_address(name)
  return host
end)

core.register_converters("gmi_instance_port", function(name)
  local _, port = instance_address(name)
  return port
end)
