-- wrk: validations whose user is hostile to a log (quotes, backslashes,
-- control bytes, invalid UTF-8, a forged field, 3000 bytes), by query and
-- by form body, with a valid and an invalid token in turn, and traceparent
-- and X-Request-ID headers a log must not trust.
--   wrk -s wrk_hostile_users.lua URL -- VALID_TOKEN INVALID_TOKEN
local users = {
  "%22q%5C%22", "%01%02%1F%7F", "%FF%FE%C3%28", "%E2%82%AC%F0%9F%98%80",
  "x%22%2C%22status%22%3A429%2C%22", string.rep("A", 3000), "%zz",
  "a%0D%0Ab", "%00nul", "a\"b\\c", "plain+user",
}
local tokens
local sent = 0

function init(args)
  tokens = {args[1], args[2]}
end

function request()
  sent = sent + 1
  local user = users[sent % #users + 1]
  local token = tokens[sent % 2 + 1]
  local headers = {["traceparent"] = "00-" .. user .. "-00f067aa0ba902b7-01",
                   ["X-Request-ID"] = user}
  if sent % 3 == 0 then
    headers["Content-Type"] = "application/x-www-form-urlencoded"
    return wrk.format("POST", "/usual", headers, "userid=" .. user .. "&gmi=" .. token)
  end
  return wrk.format("GET", "/login?userid=" .. user .. "&gmi=" .. token, headers)
end
