-- wrk: validations for alice, exactly one in `every` (per thread) with an
-- invalid token, the rest valid.
--   wrk -s wrk_mixed_tokens.lua URL -- VALID_TOKEN INVALID_TOKEN EVERY
local valid, invalid, every
local sent = 0

function init(args)
  valid, invalid, every = args[1], args[2], tonumber(args[3])
end

function request()
  sent = sent + 1
  local token = (sent % every == 0) and invalid or valid
  return wrk.format("GET", "/login?userid=alice&gmi=" .. token)
end
