// SPDX-License-Identifier: MIT
#include "rediscluster.h"

#include "frame.h"
#include "protocol.h"
#include "server.h"
#include "serverlog.h"
#include "session.h"
#include "storepath.h"
#include "textmessagecodec.h"
#include "voicepacket.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QtEndian>

#include <cmath>

namespace voiceserver {

using namespace voicesdk::protocol;

namespace {

// Every script starts with these. P is the prefix of every key; emit() numbers an event with
// the next number of the one sequence and publishes it, in the same atomic step as the change.
// Records: clients {id, n(ickname), u(nique id), c(hannel), f(lags), i(nstance)}, channels
// {id, p(arent), n(ame), t(opic), d(escription), s(alt), h(ash), pm, sp}. Indexes: nicks
// (name to ID), chnames ("parent/name" to ID), m:<channel> (its members), i:<instance> (its
// clients).
constexpr char Prelude[] = R"lua(
local P = ARGV[1]
local function emit(ev)
  local q = redis.call('INCR', P..'seq')
  ev.q = q
  redis.call('PUBLISH', P..'ev', cjson.encode(ev))
  return q
end
local function getclient(id)
  local raw = redis.call('HGET', P..'clients', id)
  if not raw then return nil end
  return cjson.decode(raw)
end
local function putclient(c)
  redis.call('HSET', P..'clients', c.id, cjson.encode(c))
end
local function dropclient(c, reason, msg)
  redis.call('HDEL', P..'clients', c.id)
  if redis.call('HGET', P..'nicks', c.n) == tostring(c.id) then redis.call('HDEL', P..'nicks', c.n) end
  redis.call('SREM', P..'m:'..c.c, c.id)
  redis.call('SREM', P..'i:'..c.i, c.id)
  return emit({e='left', id=c.id, c=c.c, r=reason, m=msg})
end
-- An instance is heard from: it counts as there until ttl ms from now, in Redis's own time
-- (until: instance to that time). When nobody was heard from for longer than gap ms, or the
-- clock went back, Redis was stopped, restarted or cut off from every instance: nobody could
-- see the others stop, so each gets grace ms from now to be heard again. Returns Redis's time
-- and 1 when the instance was not among the cluster's.
local function heard(inst, ttl, gap, grace)
  local time = redis.call('TIME')
  local t = tonumber(time[1]) * 1000 + math.floor(tonumber(time[2]) / 1000)
  local last = tonumber(redis.call('GET', P..'tick') or '0')
  if t - last > gap or t < last then
    for _, other in ipairs(redis.call('SMEMBERS', P..'instances')) do
      redis.call('HSET', P..'until', other, t + grace)
    end
  end
  redis.call('SET', P..'tick', t)
  redis.call('HSET', P..'until', inst, t + ttl)
  return t, redis.call('SADD', P..'instances', inst)
end
)lua";

// ARGV: P, instance, nickname, unique ID, channel, flags, then the nickname cut for a number of
// 1 to 5 digits. Returns {id, nickname, sequence}, or {0} when no ID is free.
constexpr char JoinScript[] = R"lua(
local inst = ARGV[2]
local ch = tonumber(ARGV[5])
if redis.call('HEXISTS', P..'channels', ch) == 0 then ch = 1 end
local nxt = tonumber(redis.call('GET', P..'nextclient') or '1')
local id = 0
for i = 1, 65535 do
  local c = nxt
  if nxt >= 65535 then nxt = 1 else nxt = nxt + 1 end
  if redis.call('HEXISTS', P..'clients', c) == 0 then id = c break end
end
if id == 0 then return {0} end
redis.call('SET', P..'nextclient', nxt)
local name = ARGV[3]
if redis.call('HEXISTS', P..'nicks', name) == 1 then
  for n = 1, 99999 do
    local s = tostring(n)
    local cand = ARGV[6 + #s] .. s
    if redis.call('HEXISTS', P..'nicks', cand) == 0 then name = cand break end
  end
end
local c = {id=id, n=name, u=ARGV[4], c=ch, f=tonumber(ARGV[6]), i=inst}
putclient(c)
redis.call('HSET', P..'nicks', name, id)
redis.call('SADD', P..'m:'..ch, id)
redis.call('SADD', P..'i:'..inst, id)
return {id, name, emit({e='join', c=c})}
)lua";

// ARGV: P, instance, ID, reason, message. Returns the sequence, 0 when there was nothing to do.
constexpr char LeaveScript[] = R"lua(
local c = getclient(ARGV[3])
if not c or c.i ~= ARGV[2] then return 0 end
return dropclient(c, tonumber(ARGV[4]), ARGV[5])
)lua";

// ARGV: P, instance, ID, channel, invoker. Returns {code, sequence}.
constexpr char MoveScript[] = R"lua(
local c = getclient(ARGV[3])
if not c or c.i ~= ARGV[2] then return {512, 0} end
local to = tonumber(ARGV[4])
if redis.call('HEXISTS', P..'channels', to) == 0 then return {768, 0} end
if c.c == to then return {773, 0} end
local from = c.c
redis.call('SREM', P..'m:'..from, c.id)
c.c = to
putclient(c)
redis.call('SADD', P..'m:'..to, c.id)
return {0, emit({e='move', id=c.id, f=from, t=to, v=cjson.decode(ARGV[5])})}
)lua";

// ARGV: P, instance, ID, flags, invoker. Returns {code, sequence}.
constexpr char UpdateScript[] = R"lua(
local c = getclient(ARGV[3])
if not c or c.i ~= ARGV[2] then return {512, 0} end
c.f = tonumber(ARGV[4])
putclient(c)
return {0, emit({e='upd', c=c, v=cjson.decode(ARGV[5])})}
)lua";

// ARGV: P, instance, channel (no ID), most channels, deepest nesting, invoker.
constexpr char CreateScript[] = R"lua(
local ch = cjson.decode(ARGV[3])
local parent = ch.p
if parent ~= 0 and redis.call('HEXISTS', P..'channels', parent) == 0 then return {768, 0} end
local key = parent..'/'..ch.n
if redis.call('HEXISTS', P..'chnames', key) == 1 then return {769, 0} end
if redis.call('HLEN', P..'channels') >= tonumber(ARGV[4]) then return {775, 0} end
local depth, at = 0, parent
while at ~= 0 and depth <= tonumber(ARGV[5]) do
  local raw = redis.call('HGET', P..'channels', at)
  if not raw then break end
  at = cjson.decode(raw).p
  depth = depth + 1
end
if depth >= tonumber(ARGV[5]) then return {775, 0} end
ch.id = redis.call('INCR', P..'nextchannel')
redis.call('HSET', P..'channels', ch.id, cjson.encode(ch))
redis.call('HSET', P..'chnames', key, ch.id)
return {0, emit({e='chc', ch=ch, v=cjson.decode(ARGV[6])})}
)lua";

// ARGV: P, instance, channel, force ("1"), invoker. Occupants go to channel 1 first, then the
// channels go, children first.
constexpr char DeleteScript[] = R"lua(
local id = tonumber(ARGV[3])
if redis.call('HEXISTS', P..'channels', id) == 0 then return {768, 0} end
if id == 1 then return {772, 0} end
local all = redis.call('HGETALL', P..'channels')
local children, byid = {}, {}
for i = 1, #all, 2 do
  local ch = cjson.decode(all[i + 1])
  byid[ch.id] = ch
  children[ch.p] = children[ch.p] or {}
  table.insert(children[ch.p], ch.id)
end
local doomed = {}
local function walk(cid, depth)
  if depth > 16 then return end
  for _, child in ipairs(children[cid] or {}) do
    if child ~= cid then walk(child, depth + 1) end
  end
  table.insert(doomed, cid)
end
walk(id, 0)
local occupants = {}
for _, cid in ipairs(doomed) do
  for _, m in ipairs(redis.call('SMEMBERS', P..'m:'..cid)) do table.insert(occupants, m) end
end
if #occupants > 0 and ARGV[4] ~= '1' then return {770, 0} end
local v = cjson.decode(ARGV[5])
local q = 0
for _, m in ipairs(occupants) do
  local c = getclient(m)
  if c then
    local from = c.c
    redis.call('SREM', P..'m:'..from, c.id)
    c.c = 1
    putclient(c)
    redis.call('SADD', P..'m:1', c.id)
    q = emit({e='move', id=c.id, f=from, t=1, v=v})
  end
end
for _, cid in ipairs(doomed) do
  local ch = byid[cid]
  redis.call('HDEL', P..'channels', cid)
  if ch then redis.call('HDEL', P..'chnames', ch.p..'/'..ch.n) end
  redis.call('DEL', P..'m:'..cid)
  local bytes = tonumber(redis.call('HGET', P..'use', 'b:'..cid) or '0')
  if bytes > 0 then redis.call('HINCRBY', P..'use', 'b:all', -bytes) end
  redis.call('HDEL', P..'use', 'b:'..cid, 'e:'..cid)
  q = emit({e='chd', id=cid, v=v})
end
return {0, q}
)lua";

// ARGV: P, instance, time to live, gap, grace (ms). Renews this instance's time and removes the
// clients of instances whose time ran out, each exactly once: the script runs alone. Returns
// {sequence, 1 when this instance had been removed itself, clients removed, the instances}.
constexpr char HeartbeatScript[] = R"lua(
local inst = ARGV[2]
local t, missing = heard(inst, tonumber(ARGV[3]), tonumber(ARGV[4]), tonumber(ARGV[5]))
local reaped = 0
for _, other in ipairs(redis.call('SMEMBERS', P..'instances')) do
  if tonumber(redis.call('HGET', P..'until', other) or '0') < t then
    for _, m in ipairs(redis.call('SMEMBERS', P..'i:'..other)) do
      local c = getclient(m)
      if c and c.i == other then
        dropclient(c, 1, 'connection lost')
        reaped = reaped + 1
      end
    end
    redis.call('DEL', P..'i:'..other)
    redis.call('SREM', P..'instances', other)
    redis.call('HDEL', P..'until', other)
    local res = redis.call('HGETALL', P..'res')
    for i = 1, #res, 2 do
      if string.match(res[i + 1], ' (%S+)$') == other then redis.call('HDEL', P..'res', res[i]) end
    end
  end
end
return {tonumber(redis.call('GET', P..'seq') or '0'), missing, reaped,
        redis.call('SMEMBERS', P..'instances')}
)lua";

// ARGV: P, instance, time to live, this instance's clients, the channels it knows (parents
// first, each with need=true when its clients need it), a server ID to keep when there is none,
// gap, grace, the other instances' clients as it knows them. Redis takes what the instance
// holds where that does not clash with what others did, and answers with all of it: {sequence,
// channels, clients, clients refused, server ID}. When Redis has lost its state (no server ID)
// every channel and client the instance knows is given back, the others' clients as theirs:
// their instances come back within the grace and find them, and nobody is told of departures
// that did not happen.
constexpr char SyncScript[] = R"lua(
local inst = ARGV[2]
local fresh = redis.call('EXISTS', P..'uid') == 0
local grace = tonumber(ARGV[8])
redis.call('SETNX', P..'uid', ARGV[6])
local t = heard(inst, tonumber(ARGV[3]), tonumber(ARGV[7]), grace)
redis.call('SETNX', P..'nextchannel', 1)
redis.call('SETNX', P..'nextclient', 1)
if redis.call('HEXISTS', P..'channels', 1) == 0 then
  local d = {id=1, p=0, n='Default Channel', t='', d='', s='', h='', pm=true, sp=false}
  redis.call('HSET', P..'channels', 1, cjson.encode(d))
  redis.call('HSET', P..'chnames', '0/Default Channel', 1)
end
local sys = {id=0, n='', u=''}
for _, ch in ipairs(cjson.decode(ARGV[5])) do
  local need = ch.need
  ch.need = nil
  if (fresh or need) and ch.id ~= 1 and redis.call('HEXISTS', P..'channels', ch.id) == 0 then
    local key = ch.p..'/'..ch.n
    if (ch.p == 0 or redis.call('HEXISTS', P..'channels', ch.p) == 1)
        and redis.call('HEXISTS', P..'chnames', key) == 0 then
      redis.call('HSET', P..'channels', ch.id, cjson.encode(ch))
      redis.call('HSET', P..'chnames', key, ch.id)
      if ch.id > tonumber(redis.call('GET', P..'nextchannel')) then
        redis.call('SET', P..'nextchannel', ch.id)
      end
      emit({e='chc', ch=ch, v=sys})
    end
  end
end
local mine = cjson.decode(ARGV[4])
local present = {}
for _, c in ipairs(mine) do present[c.id] = true end
-- Those gone meanwhile go first: a join that reached Redis only after the instance took the
-- client in by itself must not hold the name the client has here.
for _, m in ipairs(redis.call('SMEMBERS', P..'i:'..inst)) do
  if not present[tonumber(m)] then
    local c = getclient(m)
    if c and c.i == inst then dropclient(c, 1, 'connection lost') end
  end
end
local refused = {}
for _, c in ipairs(mine) do
  if redis.call('HEXISTS', P..'channels', c.c) == 0 then c.c = 1 end
  local cur = getclient(c.id)
  if cur and cur.i == inst then
    if cur.c ~= c.c then
      local from = cur.c
      redis.call('SREM', P..'m:'..from, cur.id)
      cur.c = c.c
      putclient(cur)
      redis.call('SADD', P..'m:'..cur.c, cur.id)
      emit({e='move', id=cur.id, f=from, t=cur.c, v=sys})
    end
    if cur.f ~= c.f then
      cur.f = c.f
      putclient(cur)
      emit({e='upd', c=cur, v=sys})
    end
  elseif cur or redis.call('HEXISTS', P..'nicks', c.n) == 1 then
    table.insert(refused, c.id)
  else
    c.i = inst
    putclient(c)
    redis.call('HSET', P..'nicks', c.n, c.id)
    redis.call('SADD', P..'m:'..c.c, c.id)
    redis.call('SADD', P..'i:'..inst, c.id)
    emit({e='join', c=c})
  end
end
if fresh then
  for _, c in ipairs(cjson.decode(ARGV[9])) do
    if type(c.i) == 'string' and c.i ~= inst and redis.call('HEXISTS', P..'clients', c.id) == 0
        and redis.call('HEXISTS', P..'nicks', c.n) == 0 then
      if redis.call('HEXISTS', P..'channels', c.c) == 0 then c.c = 1 end
      putclient(c)
      redis.call('HSET', P..'nicks', c.n, c.id)
      redis.call('SADD', P..'m:'..c.c, c.id)
      redis.call('SADD', P..'i:'..c.i, c.id)
      if redis.call('SADD', P..'instances', c.i) == 1 then
        redis.call('HSET', P..'until', c.i, t + grace)
      end
      emit({e='join', c=c})
    end
  end
end
return {redis.call('GET', P..'seq') or '0', redis.call('HVALS', P..'channels'),
        redis.call('HVALS', P..'clients'), refused, redis.call('GET', P..'uid')}
)lua";

// The file stores' figures: use {b:<channel>, e:<channel>, b:all} (bytes and entries), res
// {key: "<channel> <bytes> <instance>"} (uploads on their way), tk:<key> (tickets, expiring).
// ARGV: P, key, ticket, expiry, upload ("1"), channel, size, replaced bytes, new entries, quota,
// server quota, most entries, instance. Returns 0, or 1, 2, 3 for the limit that was hit.
constexpr char OfferScript[] = R"lua(
local key, ch = ARGV[2], ARGV[6]
if ARGV[5] == '1' then
  local size, replaced = tonumber(ARGV[7]), tonumber(ARGV[8])
  local resCh, resAll = 0, 0
  for _, r in ipairs(redis.call('HVALS', P..'res')) do
    local c, b = string.match(r, '^(%d+) (%d+)')
    if c then
      resAll = resAll + tonumber(b)
      if c == ch then resCh = resCh + tonumber(b) end
    end
  end
  local used = tonumber(redis.call('HGET', P..'use', 'b:'..ch) or '0')
  local all = tonumber(redis.call('HGET', P..'use', 'b:all') or '0')
  local entries = tonumber(redis.call('HGET', P..'use', 'e:'..ch) or '0')
  if used - replaced + resCh + size > tonumber(ARGV[10]) then return 1 end
  if all - replaced + resAll + size > tonumber(ARGV[11]) then return 2 end
  if entries + tonumber(ARGV[9]) > tonumber(ARGV[12]) then return 3 end
  redis.call('HSET', P..'res', key, ch..' '..ARGV[7]..' '..ARGV[13])
end
redis.call('SET', P..'tk:'..key, ARGV[3], 'PX', ARGV[4])
return 0
)lua";

// ARGV: P, key, instance. The ticket, once; its reservation is this instance's from now on.
constexpr char TakeScript[] = R"lua(
local t = redis.call('GET', P..'tk:'..ARGV[2])
if not t then return false end
redis.call('DEL', P..'tk:'..ARGV[2])
local r = redis.call('HGET', P..'res', ARGV[2])
if r then
  local c, b = string.match(r, '^(%d+) (%d+)')
  if c then redis.call('HSET', P..'res', ARGV[2], c..' '..b..' '..ARGV[3]) end
end
return t
)lua";

// ARGV: P, key, instance. Only the instance that holds a reservation gives it back.
constexpr char ReleaseScript[] = R"lua(
redis.call('DEL', P..'tk:'..ARGV[2])
local r = redis.call('HGET', P..'res', ARGV[2])
if r and string.match(r, ' (%S+)$') == ARGV[3] then redis.call('HDEL', P..'res', ARGV[2]) end
return 0
)lua";

// ARGV: P, key (may be empty), channel, bytes, entries. Never below zero.
constexpr char UsageScript[] = R"lua(
if ARGV[2] ~= '' then redis.call('HDEL', P..'res', ARGV[2]) end
if redis.call('EXISTS', P..'use') == 0 then return 0 end
local function add(field, delta)
  local v = tonumber(redis.call('HGET', P..'use', field) or '0') + delta
  if v < 0 then v = 0 end
  redis.call('HSET', P..'use', field, v)
end
add('b:'..ARGV[3], tonumber(ARGV[4]))
add('e:'..ARGV[3], tonumber(ARGV[5]))
add('b:all', tonumber(ARGV[4]))
return 0
)lua";

// ARGV: P, then channel, bytes, entries for each store. Only into a cluster without figures.
constexpr char SeedScript[] = R"lua(
if redis.call('EXISTS', P..'use') == 1 then return 0 end
local all = 0
for i = 2, #ARGV, 3 do
  redis.call('HSET', P..'use', 'b:'..ARGV[i], ARGV[i + 1], 'e:'..ARGV[i], ARGV[i + 2])
  all = all + tonumber(ARGV[i + 1])
end
redis.call('HSET', P..'use', 'b:all', all)
return 1
)lua";

// Short: after an outage every instance must be back within the grace Redis gives it.
constexpr int MaxBackoffMs = 1000;
constexpr int ConfirmDelayMs = 25;
// What may wait for a snapshot on its way.
constexpr qint64 MaxHeldBytes = 16 * 1024 * 1024;
constexpr int InstanceIdLength = 16;

int flagsOf(bool inputMuted, bool outputMuted, bool inputDeactivated)
{
    return (inputMuted ? 1 : 0) | (outputMuted ? 2 : 0) | (inputDeactivated ? 4 : 0);
}

QJsonObject clientJson(const ClientRecord& client)
{
    return QJsonObject{{QStringLiteral("id"), client.id},
                       {QStringLiteral("n"), client.nickname},
                       {QStringLiteral("u"), client.uniqueId},
                       {QStringLiteral("c"), double(client.channel)},
                       {QStringLiteral("f"),
                        flagsOf(client.inputMuted, client.outputMuted, client.inputDeactivated)},
                       {QStringLiteral("i"), client.instance}};
}

QJsonObject channelJson(const Channel& channel)
{
    QJsonObject object{{QStringLiteral("p"), double(channel.parent)},
                       {QStringLiteral("n"), channel.name},
                       {QStringLiteral("t"), channel.topic},
                       {QStringLiteral("d"), channel.description},
                       {QStringLiteral("s"), QString::fromLatin1(channel.passwordSalt.toBase64())},
                       {QStringLiteral("h"), QString::fromLatin1(channel.passwordHash.toBase64())},
                       {QStringLiteral("pm"), channel.permanent},
                       {QStringLiteral("sp"), channel.semiPermanent}};
    if (channel.id != 0)
        object.insert(QStringLiteral("id"), double(channel.id));
    return object;
}

// A whole number in [min, max] from JSON (a double there); false for anything else.
bool readNumber(const QJsonValue& value, double min, double max, quint64* out)
{
    const double number = value.toDouble(std::nan(""));
    if (!value.isDouble() || !(number >= min && number <= max) || number != std::floor(number))
        return false;
    *out = quint64(number);
    return true;
}

bool readText(const QJsonValue& value, int maxLength, QString* out)
{
    if (!value.isString() || value.toString().size() > maxLength)
        return false;
    *out = value.toString();
    return true;
}

// Everything arriving from Redis is checked as if a client had sent it: a garbled or hostile
// record is refused, never half taken.
bool readClient(const QJsonValue& value, ClientRecord* client)
{
    const QJsonObject object = value.toObject();
    quint64 id = 0, channel = 0, flags = 0;
    QString nickname;
    if (!value.isObject() || !readNumber(object.value(QLatin1String("id")), 1, 0xFFFF, &id) ||
        !readNumber(object.value(QLatin1String("c")), 1, 9007199254740991.0, &channel) ||
        !readNumber(object.value(QLatin1String("f")), 0, 7, &flags) ||
        !readText(object.value(QLatin1String("n")), limits::NicknameLength, &nickname) ||
        !normaliseName(nickname, limits::NicknameLength, &client->nickname) ||
        client->nickname != nickname ||
        !readText(object.value(QLatin1String("u")), limits::UniqueIdentifierLength,
                  &client->uniqueId) ||
        !readText(object.value(QLatin1String("i")), 64, &client->instance) ||
        client->instance.isEmpty())
        return false;
    client->id = anyID(id);
    client->channel = channel;
    client->inputMuted = flags & 1;
    client->outputMuted = flags & 2;
    client->inputDeactivated = flags & 4;
    return true;
}

bool readChannel(const QJsonValue& value, Channel* channel)
{
    const QJsonObject object = value.toObject();
    quint64 id = 0, parent = 0;
    QString name, salt, hash;
    const QJsonValue permanent = object.value(QLatin1String("pm"));
    const QJsonValue semiPermanent = object.value(QLatin1String("sp"));
    if (!value.isObject() ||
        !readNumber(object.value(QLatin1String("id")), 1, 9007199254740991.0, &id) ||
        !readNumber(object.value(QLatin1String("p")), 0, 9007199254740991.0, &parent) ||
        parent == id ||
        !readText(object.value(QLatin1String("n")), limits::ChannelNameLength, &name) ||
        !normaliseName(name, limits::ChannelNameLength, &channel->name) || channel->name != name ||
        !readText(object.value(QLatin1String("t")), limits::ChannelTopicLength, &channel->topic) ||
        !readText(object.value(QLatin1String("d")), limits::ChannelDescriptionLength,
                  &channel->description) ||
        !readText(object.value(QLatin1String("s")), 64, &salt) ||
        !readText(object.value(QLatin1String("h")), 64, &hash) || !permanent.isBool() ||
        !semiPermanent.isBool())
        return false;
    channel->id = id;
    channel->parent = parent;
    channel->passwordSalt = QByteArray::fromBase64(salt.toLatin1());
    channel->passwordHash = QByteArray::fromBase64(hash.toLatin1());
    if (channel->passwordSalt.isEmpty() != channel->passwordHash.isEmpty())
        return false;
    channel->permanent = permanent.toBool();
    channel->semiPermanent = semiPermanent.toBool();
    return true;
}

bool readInvoker(const QJsonValue& value, Invoker* invoker)
{
    const QJsonObject object = value.toObject();
    quint64 id = 0;
    if (!value.isObject() || !readNumber(object.value(QLatin1String("id")), 0, 0xFFFF, &id) ||
        !readText(object.value(QLatin1String("n")), limits::NicknameLength, &invoker->nickname) ||
        !readText(object.value(QLatin1String("u")), limits::UniqueIdentifierLength,
                  &invoker->uniqueId))
        return false;
    invoker->id = anyID(id);
    return true;
}

QByteArray compact(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray compact(const QJsonArray& array)
{
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

} // namespace

RedisCluster::RedisCluster(const RedisClusterOptions& options, const QString& dataDirectory,
                           QObject* parent)
    : LocalCluster(dataDirectory, false, parent)
    , m_options(options)
    , m_prefix(options.prefix.toUtf8())
    , m_uid(LocalCluster::serverUniqueId())
    , m_commands(new RedisLink(options.endpoint, this))
    , m_subscriber(new RedisLink(options.endpoint, this))
{
    // A new name at every start: a restarted instance is a new one, and its old self's clients
    // are removed like those of any instance that went away.
    QByteArray id(InstanceIdLength / 2, Qt::Uninitialized);
    for (char& byte : id)
        byte = char(QRandomGenerator::system()->bounded(256));
    m_instance = QString::fromLatin1(id.toHex());
    m_eventChannel = key("ev");
    m_inboxChannel = key("to:") + m_instance.toLatin1();
    // The channels of server.json stay in the replica until Redis answers: they are what this
    // instance gives a Redis that has none (the first start of a cluster).
    for (const RedisLink* link : {m_commands, m_subscriber})
        connect(link, &RedisLink::down, this, &RedisCluster::linkDown);
    connect(m_commands, &RedisLink::up, this, &RedisCluster::readyToSynchronise);
    connect(m_subscriber, &RedisLink::up, this, [this] {
        m_subscriber->subscribe({m_eventChannel, m_inboxChannel});
    });
    connect(m_subscriber, &RedisLink::subscribed, this, [this] {
        ++m_subscriptions;
        readyToSynchronise();
    });
    m_subscriber->setMessageHandler([this](const QByteArray& channel, const QByteArray& payload) {
        message(channel, payload);
    });
    m_heartbeat.setInterval(options.heartbeatMs);
    connect(&m_heartbeat, &QTimer::timeout, this, &RedisCluster::heartbeat);
    m_outbox = std::make_unique<ClusterOutbox>(
        m_instance, options.holdMs, options.maxHeldBytes,
        [this](const QString& instance, const QByteArray& payload,
               std::function<void(qint64)> heard) {
            return m_commands->command({"PUBLISH", key("to:") + instance.toLatin1(), payload},
                                       [heard](const RedisValue& reply) {
                                           heard(reply.isError() ? -1 : reply.toInteger());
                                       });
        });
    m_outboxTimer.setInterval(500);
    connect(&m_outboxTimer, &QTimer::timeout, this, [this] { m_outbox->tick(); });
    // Confirmations wait a little to go out together: at a few hundred texts a second one
    // each would double what Redis publishes. A text's sender hears of it that much later.
    m_confirmTimer.setSingleShot(true);
    m_confirmTimer.setInterval(ConfirmDelayMs);
    connect(&m_confirmTimer, &QTimer::timeout, this, &RedisCluster::sendConfirmations);
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &RedisCluster::connectLinks);
}

RedisCluster::~RedisCluster()
{
    m_waiting.clear();
}

bool RedisCluster::start(QString* error)
{
    Q_UNUSED(error)
    logLine(QStringLiteral("cluster: instance %1 joins through %2")
                .arg(m_instance, m_options.endpoint.describe()));
    m_outboxTimer.start();
    connectLinks();
    return true;
}

void RedisCluster::connectLinks()
{
    m_phase = Phase::Connecting;
    m_subscriptions = 0;
    m_subscriber->open();
    m_commands->open();
}

void RedisCluster::linkDown(const QString& reason)
{
    if (m_phase == Phase::Offline && m_retry.isActive())
        return; // the other link went with it
    const bool first = !m_synced && !m_readyAnnounced;
    const bool wasOnline = m_phase == Phase::Online || m_phase == Phase::Syncing;
    m_phase = Phase::Offline;
    m_heartbeat.stop();
    m_heartbeatSentAt = 0;
    m_commands->close();
    m_subscriber->close();
    m_held.clear();
    m_heldBytes = 0;
    m_outbox->setOnline(false);
    // Alone, this instance hands out IDs itself; from a random point, so that two instances
    // alone at once seldom give out the same one (the later would lose it when Redis is back).
    if (wasOnline)
        m_nextClientId = anyID(QRandomGenerator::global()->bounded(1, 0x10000));
    // Whatever waited for the replica gets its answer now; nothing more comes from Redis.
    settleWaiting(true);
    runHeldRequests();
    if (!m_outageLogged || wasOnline) {
        logLine(LogLevel::Warning,
                QStringLiteral("cluster: Redis at %1 unreachable (%2); serving this instance's "
                               "clients alone and trying again")
                    .arg(m_options.endpoint.describe(), reason));
        m_outageLogged = true;
    }
    m_backoffMs = m_backoffMs == 0 ? 250 : qMin(m_backoffMs * 2, MaxBackoffMs);
    m_retry.start(m_backoffMs);
    // Without Redis at the start the instance serves alone until it comes.
    if (first) {
        m_readyAnnounced = true;
        emit ready();
    }
}

void RedisCluster::readyToSynchronise()
{
    // Subscribed to both channels, nothing published from now on is missed: the snapshot can
    // be taken.
    if (m_phase == Phase::Connecting && m_subscriptions >= 2 && m_commands->isUp())
        synchronise(m_synced ? QStringLiteral("Redis is back") : QStringLiteral("joining"));
}

void RedisCluster::synchronise(const QString& why)
{
    if (!m_commands->isUp() || !m_subscriber->isUp())
        return;
    m_phase = Phase::Syncing;
    m_held.clear();
    m_heldBytes = 0;
    QJsonArray mine, others;
    QSet<quint64> needed;
    for (const ClientRecord& client : m_state.clients()) {
        if (client.instance != m_instance) {
            others.append(clientJson(client));
            continue;
        }
        // Those on their way out are not handed back.
        if (m_leaving.contains(client.id))
            continue;
        mine.append(clientJson(client));
        for (quint64 at = client.channel; at != 0 && !needed.contains(at);
             at = m_state.channels().value(at).parent)
            needed.insert(at);
    }
    QJsonArray channels;
    // Parents first, so that Redis can check each one's parent.
    QList<quint64> level{0};
    while (!level.isEmpty()) {
        QList<quint64> next;
        for (const Channel& channel : m_state.channels()) {
            if (!level.contains(channel.parent))
                continue;
            QJsonObject object = channelJson(channel);
            object.insert(QStringLiteral("need"), needed.contains(channel.id));
            channels.append(object);
            next.append(channel.id);
        }
        level = next;
    }
    logLine(QStringLiteral("cluster: synchronising with Redis (%1)").arg(why));
    script(SyncScript,
           {m_instance.toLatin1(), QByteArray::number(m_options.heartbeatTtlMs), compact(mine),
            compact(channels), m_uid.toLatin1(), QByteArray::number(m_options.blindGapMs),
            QByteArray::number(m_options.graceMs), compact(others)},
           [this](const RedisValue& reply) {
               if (m_phase != Phase::Syncing)
                   return;
               if (reply.isError() || reply.elements.size() != 5) {
                   logLine(LogLevel::Warning, QStringLiteral("cluster: synchronisation failed: %1")
                                                  .arg(QString::fromUtf8(reply.string.left(300))));
                   return linkDown(QStringLiteral("synchronisation failed"));
               }
               applySnapshot(reply);
           });
}

void RedisCluster::applySnapshot(const RedisValue& reply)
{
    bool ok = false;
    const quint64 sequence = quint64(reply.elements.at(0).toInteger(&ok));
    ClusterState next;
    for (const RedisValue& raw : reply.elements.at(1).elements) {
        Channel channel;
        if (readChannel(QJsonDocument::fromJson(raw.string).object(), &channel))
            next.insertChannel(channel);
        else
            dropped("a channel record", QString::fromUtf8(raw.string.left(100)));
    }
    next.repairTree();
    for (const RedisValue& raw : reply.elements.at(2).elements) {
        ClientRecord client;
        if (readClient(QJsonDocument::fromJson(raw.string).object(), &client)) {
            if (!next.channels().contains(client.channel))
                client.channel = DefaultChannelId;
            next.insertClient(client);
        } else {
            dropped("a client record", QString::fromUtf8(raw.string.left(100)));
        }
    }
    if (!ok || !next.channels().contains(DefaultChannelId))
        return linkDown(QStringLiteral("an unreadable snapshot"));
    const QString uid = QString::fromUtf8(reply.elements.at(4).string);
    if (!uid.isEmpty() && uid.size() <= 64)
        m_uid = uid;

    // Clients of this instance that Redis gave to others (their ID or name was taken while
    // Redis was away) must connect again.
    for (const RedisValue& refused : reply.elements.at(3).elements) {
        const anyID id = anyID(refused.toInteger());
        const ClientRecord* client = m_state.client(id);
        if (!client || client->instance != m_instance)
            continue;
        logLine(QStringLiteral("cluster: client %1 '%2' clashes with the cluster; disconnecting")
                    .arg(id)
                    .arg(client->nickname));
        const ClientRecord gone = *client;
        m_state.removeClient(id);
        m_events->clientRevoked(id, QStringLiteral("its ID or name was taken in the cluster"));
        m_events->clientLeft(gone, int(LeaveReason::Dropped), QStringLiteral("connection lost"));
    }

    // Tell the clients here what changed: new channels (parents first), then clients, then
    // channels that went (children first).
    const Invoker service;
    QList<Channel> created;
    for (const Channel& channel : next.channels()) {
        if (!m_state.channels().contains(channel.id))
            created.append(channel);
    }
    std::sort(created.begin(), created.end(), [&](const Channel& a, const Channel& b) {
        return next.depthOf(a.id) < next.depthOf(b.id);
    });
    for (const Channel& channel : created) {
        m_state.insertChannel(channel);
        m_events->channelCreated(channel, service);
    }
    const QList<ClientRecord> before = m_state.clients().values();
    for (const ClientRecord& old : before) {
        const ClientRecord* now = next.client(old.id);
        if (now && now->nickname == old.nickname && now->instance == old.instance)
            continue;
        m_state.removeClient(old.id);
        if (old.instance == m_instance)
            m_events->clientRevoked(old.id, QStringLiteral("the cluster no longer knows it"));
        m_events->clientLeft(old, int(LeaveReason::Dropped), QStringLiteral("connection lost"));
    }
    for (const ClientRecord& client : next.clients()) {
        if (m_state.client(client.id)) {
            catchUp(client);
            continue;
        }
        m_state.insertClient(client);
        m_events->clientJoined(*m_state.client(client.id));
    }
    QList<quint64> gone;
    for (const Channel& channel : m_state.channels()) {
        if (!next.channels().contains(channel.id))
            gone.append(channel.id);
    }
    std::sort(gone.begin(), gone.end(),
              [this](quint64 a, quint64 b) { return m_state.depthOf(a) > m_state.depthOf(b); });
    for (quint64 channel : gone) {
        m_state.removeChannel(channel);
        m_events->channelDeleted(channel, service);
    }
    // Attributes of channels kept under the same ID follow Redis quietly.
    for (const Channel& channel : next.channels())
        m_state.insertChannel(channel);

    m_applied = sequence;
    m_behind = 0;
    m_synced = true;
    m_phase = Phase::Online;
    m_leaving.clear();
    m_backoffMs = 0;
    if (m_outageLogged)
        logLine(LogLevel::Notice, QStringLiteral("cluster: Redis reachable again"));
    m_outageLogged = false;
    logLine(QStringLiteral("cluster: in step at event %1: %2 channel(s), %3 client(s)")
                .arg(sequence)
                .arg(m_state.channels().size())
                .arg(m_state.clients().size()));
    settleWaiting(false);
    if (m_seed) {
        QList<QByteArray> figures;
        for (auto it = m_seed->cbegin(); it != m_seed->cend(); ++it)
            figures << QByteArray::number(it.key()) << QByteArray::number(it->bytes)
                    << QByteArray::number(it->entries);
        script(SeedScript, figures, [](const RedisValue& reply) {
            if (reply.toInteger() == 1)
                logLine(QStringLiteral("cluster: the file stores' figures counted here are the "
                                       "cluster's now"));
        });
    }
    const auto held = std::move(m_held);
    m_held.clear();
    m_heldBytes = 0;
    for (const auto& [isEvent, payload] : held) {
        // An event may show that the replica is off again: the rest waits for that snapshot.
        if (m_phase != Phase::Online)
            break;
        if (isEvent)
            event(payload);
        else
            traffic(payload);
    }
    m_heartbeatSentAt = 0;
    m_heartbeat.start();
    if (m_phase == Phase::Online)
        m_outbox->setOnline(true);
    runHeldRequests();
    if (!m_readyAnnounced) {
        m_readyAnnounced = true;
        emit ready();
    }
}

void RedisCluster::message(const QByteArray& channel, const QByteArray& payload)
{
    const bool isEvent = channel == m_eventChannel;
    if (!isEvent && channel != m_inboxChannel)
        return;
    if (m_phase == Phase::Syncing) {
        // Bounded: a snapshot comes within a heartbeat's time, or the link is dropped; texts
        // left out are sent again. Voice and screens are live and not kept.
        if (m_held.size() < 100000 && m_heldBytes + payload.size() <= MaxHeldBytes &&
            (isEvent || (!payload.startsWith('V') && !payload.startsWith('S')))) {
            m_held.append({isEvent, QByteArray(payload.constData(), payload.size())});
            m_heldBytes += payload.size();
        }
        return;
    }
    if (m_phase != Phase::Online)
        return;
    if (isEvent)
        event(payload);
    else
        traffic(payload);
}

void RedisCluster::dropped(const char* what, const QString& detail)
{
    logLimited(
        "cluster garbage",
        QStringLiteral("cluster: dropped %1 from Redis: %2").arg(QLatin1String(what), detail));
}

void RedisCluster::event(const QByteArray& payload)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(payload, &error);
    quint64 sequence = 0;
    if (payload.size() > 64 * 1024 || !document.isObject() ||
        !readNumber(document.object().value(QLatin1String("q")), 1, 9007199254740991.0, &sequence))
        return dropped("an event that is not one", QString::fromUtf8(payload.left(100)));
    if (sequence <= m_applied)
        return; // had it already (it came with the snapshot)
    if (sequence > m_applied + 1) {
        logLine(LogLevel::Warning, QStringLiteral("cluster: events %1 to %2 were lost on the way")
                                       .arg(m_applied + 1)
                                       .arg(sequence - 1));
        return synchronise(QStringLiteral("events lost"));
    }
    switch (applyEvent(document.object())) {
    case Outcome::Applied:
        break;
    case Outcome::Malformed:
        return dropped("a malformed event", QString::fromUtf8(payload.left(100)));
    case Outcome::Inconsistent:
        logLine(LogLevel::Warning, QStringLiteral("cluster: event %1 does not fit the replica: %2")
                                       .arg(sequence)
                                       .arg(QString::fromUtf8(payload.left(200))));
        return synchronise(QStringLiteral("the replica is off"));
    }
    m_applied = sequence;
    settleWaiting(false);
}

RedisCluster::Outcome RedisCluster::applyEvent(const QJsonObject& event)
{
    const QString kind = event.value(QLatin1String("e")).toString();
    Invoker invoker;
    const bool hasInvoker = readInvoker(event.value(QLatin1String("v")), &invoker);
    if (kind == QLatin1String("join")) {
        ClientRecord client;
        if (!readClient(event.value(QLatin1String("c")), &client))
            return Outcome::Malformed;
        if (!m_state.channels().contains(client.channel))
            return Outcome::Inconsistent;
        if (const ClientRecord* old = m_state.client(client.id)) {
            // The same client announced again (the service's state was rebuilt): only what
            // changed about it is news.
            if (old->nickname == client.nickname && old->uniqueId == client.uniqueId &&
                old->instance == client.instance) {
                catchUp(client);
                return Outcome::Applied;
            }
            const ClientRecord gone = *old;
            m_state.removeClient(client.id);
            m_events->clientLeft(gone, int(LeaveReason::Dropped),
                                 QStringLiteral("connection lost"));
        }
        m_state.insertClient(client);
        m_events->clientJoined(*m_state.client(client.id));
    } else if (kind == QLatin1String("left")) {
        quint64 id = 0, reason = 0;
        QString text;
        if (!readNumber(event.value(QLatin1String("id")), 1, 0xFFFF, &id) ||
            !readNumber(event.value(QLatin1String("r")), 0, 1, &reason) ||
            !readText(event.value(QLatin1String("m")), limits::QuitMessageLength, &text))
            return Outcome::Malformed;
        const ClientRecord* client = m_state.client(anyID(id));
        if (!client)
            return Outcome::Applied;
        const ClientRecord gone = *client;
        m_state.removeClient(anyID(id));
        // One of ours that this instance did not let go: the others took it for gone (this
        // instance was silent too long). Its connection ends; it connects again.
        if (gone.instance == m_instance && !m_leaving.remove(anyID(id)))
            m_events->clientRevoked(gone.id, QStringLiteral("the cluster took it for gone"));
        m_events->clientLeft(gone, int(reason), text);
    } else if (kind == QLatin1String("move")) {
        quint64 id = 0, from = 0, to = 0;
        if (!hasInvoker || !readNumber(event.value(QLatin1String("id")), 1, 0xFFFF, &id) ||
            !readNumber(event.value(QLatin1String("f")), 1, 9007199254740991.0, &from) ||
            !readNumber(event.value(QLatin1String("t")), 1, 9007199254740991.0, &to))
            return Outcome::Malformed;
        if (!m_state.client(anyID(id)) || !m_state.channels().contains(to))
            return Outcome::Inconsistent;
        const quint64 was = m_state.client(anyID(id))->channel;
        if (was == to)
            return Outcome::Applied; // told already
        m_state.setClientChannel(anyID(id), to);
        m_events->clientMoved(*m_state.client(anyID(id)), was, invoker);
    } else if (kind == QLatin1String("upd")) {
        ClientRecord client;
        if (!hasInvoker || !readClient(event.value(QLatin1String("c")), &client))
            return Outcome::Malformed;
        const ClientRecord* old = m_state.client(client.id);
        if (!old)
            return Outcome::Inconsistent;
        if (old->inputMuted == client.inputMuted && old->outputMuted == client.outputMuted &&
            old->inputDeactivated == client.inputDeactivated)
            return Outcome::Applied; // told already
        m_state.setClientFlags(client.id, client.inputMuted, client.outputMuted,
                               client.inputDeactivated);
        m_events->clientUpdated(*m_state.client(client.id), invoker);
    } else if (kind == QLatin1String("chc")) {
        Channel channel;
        if (!hasInvoker || !readChannel(event.value(QLatin1String("ch")), &channel))
            return Outcome::Malformed;
        if ((channel.parent != 0 && !m_state.channels().contains(channel.parent)) ||
            m_state.channels().contains(channel.id))
            return Outcome::Inconsistent;
        m_state.insertChannel(channel);
        m_events->channelCreated(channel, invoker);
    } else if (kind == QLatin1String("chd")) {
        quint64 id = 0;
        if (!hasInvoker ||
            !readNumber(event.value(QLatin1String("id")), 2, 9007199254740991.0, &id))
            return Outcome::Malformed;
        if (!m_state.channels().contains(id))
            return Outcome::Applied;
        // Redis moved the occupants out first; a client still here means the replica is off.
        if (!m_state.occupants({id}).isEmpty())
            return Outcome::Inconsistent;
        m_state.removeChannel(id);
        m_events->channelDeleted(id, invoker);
    } else {
        return Outcome::Malformed;
    }
    return Outcome::Applied;
}

void RedisCluster::catchUp(const ClientRecord& client)
{
    const ClientRecord* old = m_state.client(client.id);
    const Invoker service;
    if (old->channel != client.channel) {
        const quint64 from = old->channel;
        m_state.setClientChannel(client.id, client.channel);
        m_events->clientMoved(*m_state.client(client.id), from, service);
    }
    old = m_state.client(client.id);
    if (old->inputMuted != client.inputMuted || old->outputMuted != client.outputMuted ||
        old->inputDeactivated != client.inputDeactivated) {
        m_state.setClientFlags(client.id, client.inputMuted, client.outputMuted,
                               client.inputDeactivated);
        m_events->clientUpdated(*m_state.client(client.id), service);
    }
}

void RedisCluster::traffic(const QByteArray& payload)
{
    if (payload.startsWith('T') || payload.startsWith('Q'))
        return crossingText(payload);
    if (payload.startsWith('A'))
        return m_outbox->confirmation(payload);
    if (payload.startsWith('V')) {
        // 'V', the channel (8 bytes, big-endian), the frame with its speaker set.
        constexpr int Header = 9;
        voice::Frame frame;
        if (payload.size() <= Header ||
            !voice::decodeFrame(payload.constData() + Header, payload.size() - Header, &frame))
            return dropped("a voice frame", QStringLiteral("%1 bytes").arg(payload.size()));
        const quint64 channel = qFromBigEndian<quint64>(payload.constData() + 1);
        if (!m_state.channels().contains(channel))
            return;
        m_events->voice(channel, QByteArray(payload.constData() + Header, payload.size() - Header));
        return;
    }
    if (payload.startsWith('S')) {
        // 'S', then the screen relay's own message, which it checks.
        m_events->screen(QByteArray(payload.constData() + 1, payload.size() - 1));
        return;
    }
    dropped("traffic that is none", QString::fromUtf8(payload.left(100)));
}

void RedisCluster::crossingText(const QByteArray& payload)
{
    CrossingHeader header;
    QByteArray record;
    if (payload.size() > 16 * 1024 || !readCrossingText(payload, &header, &record))
        return dropped("a text", QString::fromUtf8(payload.left(100)));
    const ClusterInbox::Verdict verdict = m_inbox.take(header);
    if (!m_confirmTimer.isActive())
        m_confirmTimer.start();
    if (verdict != ClusterInbox::Verdict::Deliver)
        return; // shown already, or it waits for those before it
    const QJsonObject text = QJsonDocument::fromJson(record).object();
    quint64 mode = 0, from = 0, target = 0, channel = 0, to = 0;
    QString name, uniqueId, message;
    if (!readNumber(text.value(QLatin1String("m")), 1, 2, &mode) ||
        !readNumber(text.value(QLatin1String("f")), 1, 0xFFFF, &from) ||
        !readNumber(text.value(QLatin1String("g")), 0, 9007199254740991.0, &target) ||
        !readText(text.value(QLatin1String("n")), limits::NicknameLength, &name) ||
        !readText(text.value(QLatin1String("u")), limits::UniqueIdentifierLength, &uniqueId) ||
        !readText(text.value(QLatin1String("x")), limits::TextLength, &message) ||
        (mode == TextMessageTarget_CHANNEL &&
         !readNumber(text.value(QLatin1String("c")), 1, 9007199254740991.0, &channel)) ||
        (mode == TextMessageTarget_CLIENT &&
         !readNumber(text.value(QLatin1String("to")), 1, 0xFFFF, &to)))
        return dropped("a text", QString::fromUtf8(record.left(100)));
    const QByteArray nameBytes = name.toUtf8();
    const QByteArray uniqueIdBytes = uniqueId.toUtf8();
    const QByteArray messageBytes = message.toUtf8();
    const QByteArray frame = encodeTextMessageFrame(
        qint64(mode), qint64(from), Utf8View{nameBytes.constData(), nameBytes.size()},
        Utf8View{uniqueIdBytes.constData(), uniqueIdBytes.size()},
        Utf8View{messageBytes.constData(), messageBytes.size()}, qint64(target));
    if (mode == TextMessageTarget_CHANNEL)
        m_events->channelText(channel, frame);
    else if (!m_events->privateText(anyID(to), frame))
        m_inbox.refuse(header);
}

void RedisCluster::sendConfirmations()
{
    // One confirmation per sender for what came meanwhile. Lost ones are made good: the sender
    // sends again, and the text is confirmed again, not shown again.
    for (const auto& [sender, payload] : m_inbox.confirmations(m_instance))
        m_commands->command({"PUBLISH", key("to:") + sender.toLatin1(), payload});
}

void RedisCluster::heartbeat()
{
    if (m_phase != Phase::Online)
        return;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    // Redis that answers nothing for as long as others wait before taking an instance for gone
    // is as good as gone.
    if (m_heartbeatSentAt != 0) {
        if (now - m_heartbeatSentAt > m_options.heartbeatTtlMs)
            linkDown(QStringLiteral("no answer for %1 ms").arg(now - m_heartbeatSentAt));
        return;
    }
    m_heartbeatSentAt = now;
    script(HeartbeatScript,
           {m_instance.toLatin1(), QByteArray::number(m_options.heartbeatTtlMs),
            QByteArray::number(m_options.blindGapMs), QByteArray::number(m_options.graceMs)},
           [this](const RedisValue& reply) {
               m_heartbeatSentAt = 0;
               if (m_phase != Phase::Online || reply.isError() || reply.elements.size() != 4)
                   return;
               const quint64 sequence = quint64(reply.elements.at(0).toInteger());
               if (reply.elements.at(1).toInteger() == 1)
                   return synchronise(QStringLiteral("the cluster took this instance for gone"));
               if (const qint64 reaped = reply.elements.at(2).toInteger())
                   logLine(QStringLiteral("cluster: removed %1 client(s) of instances that went "
                                          "away")
                               .arg(reaped));
               // Texts for instances that went will not be confirmed; what they sent is done.
               QSet<QString> instances;
               for (const RedisValue& instance : reply.elements.at(3).elements)
                   instances.insert(QString::fromLatin1(instance.string));
               if (instances.contains(m_instance)) {
                   m_outbox->keepOnly(instances);
                   m_inbox.keepOnly(instances);
               }
               // What Redis had a heartbeat ago should have arrived by now; if not, an event
               // was lost on the way (publishing is at most once).
               if (m_behind != 0 && m_applied < m_behind) {
                   logLine(LogLevel::Warning,
                           QStringLiteral("cluster: event %1 never arrived").arg(m_applied + 1));
                   return synchronise(QStringLiteral("events lost"));
               }
               m_behind = sequence > m_applied ? sequence : 0;
           });
}

void RedisCluster::script(const char* body, QList<QByteArray> arguments, RedisLink::Reply done)
{
    arguments.prepend(m_prefix);
    arguments.prepend("0");
    arguments.prepend(QByteArray(Prelude) + body);
    arguments.prepend("EVAL");
    // A script that fails in Redis is a fault of this program or of Redis: said, not hidden.
    auto checked = [done = std::move(done)](const RedisValue& reply) {
        if (reply.isError() && reply.string != "connection lost" && reply.string != "not connected")
            logLimited("cluster script", QStringLiteral("cluster: a script failed in Redis: %1")
                                             .arg(QString::fromUtf8(reply.string.left(300))));
        if (done)
            done(reply);
    };
    if (!m_commands->command(arguments, checked)) {
        RedisValue failed;
        failed.type = RedisValue::Type::Error;
        failed.string = "not connected";
        checked(failed);
    }
}

bool RedisCluster::holdDuringSync(std::function<void()> request)
{
    // A snapshot is on its way: what the replica holds now is about to be replaced, so a
    // request waits for it (and then goes to Redis, or is settled here if Redis went).
    if (m_phase != Phase::Syncing)
        return false;
    m_heldRequests.append(std::move(request));
    return true;
}

void RedisCluster::runHeldRequests()
{
    const auto requests = std::move(m_heldRequests);
    m_heldRequests.clear();
    for (const auto& request : requests)
        request();
}

void RedisCluster::whenApplied(quint64 sequence, std::function<void()> then)
{
    if (sequence <= m_applied || m_phase != Phase::Online)
        return then();
    m_waiting.insert(sequence, std::move(then));
}

void RedisCluster::settleWaiting(bool all)
{
    while (!m_waiting.isEmpty() && (all || m_waiting.firstKey() <= m_applied)) {
        auto then = m_waiting.take(m_waiting.firstKey());
        then();
    }
}

QByteArray RedisCluster::invokerJson(const Invoker& invoker) const
{
    return compact(QJsonObject{{QStringLiteral("id"), invoker.id},
                               {QStringLiteral("n"), invoker.nickname},
                               {QStringLiteral("u"), invoker.uniqueId}});
}

void RedisCluster::join(const JoinRequest& request, std::function<void(const JoinResult&)> done)
{
    if (holdDuringSync([=] { join(request, done); }))
        return;
    if (m_phase != Phase::Online)
        return LocalCluster::join(request, std::move(done));
    // The name cut for a number of each length, as ClusterState::uniqueNickname does.
    QList<QByteArray> arguments{m_instance.toLatin1(), request.nickname.toUtf8(),
                                request.uniqueId.toUtf8(), QByteArray::number(request.channel),
                                QByteArray::number(flagsOf(request.inputMuted, request.outputMuted,
                                                           request.inputDeactivated))};
    for (int digits = 1; digits <= 5; ++digits)
        arguments.append(request.nickname.left(limits::NicknameLength - digits).toUtf8());
    script(JoinScript, arguments, [this, request, done](const RedisValue& reply) {
        if (reply.isError() || reply.elements.isEmpty()) {
            // Redis went meanwhile: the instance takes the client in by itself.
            if (m_phase != Phase::Online)
                return LocalCluster::join(request, done);
            return done(JoinResult{ERROR_server_full, 0, QString()});
        }
        JoinResult result;
        result.id = anyID(reply.elements.at(0).toInteger());
        if (result.id == 0 || reply.elements.size() != 3)
            return done(JoinResult{ERROR_server_full, 0, QString()});
        result.nickname = QString::fromUtf8(reply.elements.at(1).string);
        whenApplied(quint64(reply.elements.at(2).toInteger()), [this, result, done] {
            // The event was lost with the link: the client connects again.
            done(m_state.client(result.id) ? result : JoinResult{ERROR_server_full, 0, QString()});
        });
    });
}

void RedisCluster::leave(anyID id, int reason, const QString& message)
{
    if (holdDuringSync([=] { leave(id, reason, message); }))
        return;
    const ClientRecord* client = m_state.client(id);
    if (!client || client->instance != m_instance)
        return;
    if (m_phase != Phase::Online)
        return LocalCluster::leave(id, reason, message);
    m_leaving.insert(id);
    script(LeaveScript,
           {m_instance.toLatin1(), QByteArray::number(id), QByteArray::number(reason),
            message.toUtf8()},
           [this, id, reason, message](const RedisValue& reply) {
               // Not removed through Redis: the replica lets go now, and a resynchronisation
               // tells Redis later.
               if (reply.isError() || reply.toInteger() == 0) {
                   m_leaving.remove(id);
                   LocalCluster::leave(id, reason, message);
               }
           });
}

void RedisCluster::move(anyID id, quint64 channel, const Invoker& invoker, Done done)
{
    if (holdDuringSync([=] { move(id, channel, invoker, done); }))
        return;
    if (m_phase != Phase::Online)
        return LocalCluster::move(id, channel, invoker, std::move(done));
    script(MoveScript,
           {m_instance.toLatin1(), QByteArray::number(id), QByteArray::number(channel),
            invokerJson(invoker)},
           [this, id, channel, invoker, done](const RedisValue& reply) {
               if (reply.isError() || reply.elements.size() != 2) {
                   if (m_phase != Phase::Online)
                       return LocalCluster::move(id, channel, invoker, done);
                   return done(ERROR_undefined);
               }
               const unsigned int code = unsigned(reply.elements.at(0).toInteger());
               whenApplied(quint64(reply.elements.at(1).toInteger()), [code, done] { done(code); });
           });
}

void RedisCluster::update(anyID id, bool inputMuted, bool outputMuted, bool inputDeactivated,
                          const Invoker& invoker, Done done)
{
    if (holdDuringSync(
            [=] { update(id, inputMuted, outputMuted, inputDeactivated, invoker, done); }))
        return;
    if (m_phase != Phase::Online)
        return LocalCluster::update(id, inputMuted, outputMuted, inputDeactivated, invoker,
                                    std::move(done));
    script(UpdateScript,
           {m_instance.toLatin1(), QByteArray::number(id),
            QByteArray::number(flagsOf(inputMuted, outputMuted, inputDeactivated)),
            invokerJson(invoker)},
           [=](const RedisValue& reply) {
               if (reply.isError() || reply.elements.size() != 2) {
                   if (m_phase != Phase::Online)
                       return LocalCluster::update(id, inputMuted, outputMuted, inputDeactivated,
                                                   invoker, done);
                   return done(ERROR_undefined);
               }
               const unsigned int code = unsigned(reply.elements.at(0).toInteger());
               whenApplied(quint64(reply.elements.at(1).toInteger()), [code, done] { done(code); });
           });
}

void RedisCluster::createChannel(const Channel& channel, int maxChannels, const Invoker& invoker,
                                 Done done)
{
    if (holdDuringSync([=] { createChannel(channel, maxChannels, invoker, done); }))
        return;
    // IDs are handed out by Redis alone: without it no channel is made.
    if (m_phase != Phase::Online)
        return done(ERROR_undefined);
    script(CreateScript,
           {m_instance.toLatin1(), compact(channelJson(channel)), QByteArray::number(maxChannels),
            QByteArray::number(limits::ChannelDepth), invokerJson(invoker)},
           [this, done](const RedisValue& reply) {
               if (reply.isError() || reply.elements.size() != 2)
                   return done(ERROR_undefined);
               const unsigned int code = unsigned(reply.elements.at(0).toInteger());
               whenApplied(quint64(reply.elements.at(1).toInteger()), [code, done] { done(code); });
           });
}

void RedisCluster::deleteChannel(quint64 id, bool force, const Invoker& invoker, Done done)
{
    if (holdDuringSync([=] { deleteChannel(id, force, invoker, done); }))
        return;
    if (m_phase != Phase::Online)
        return done(ERROR_undefined);
    script(DeleteScript,
           {m_instance.toLatin1(), QByteArray::number(id), force ? "1" : "0", invokerJson(invoker)},
           [this, done](const RedisValue& reply) {
               if (reply.isError() || reply.elements.size() != 2)
                   return done(ERROR_undefined);
               const unsigned int code = unsigned(reply.elements.at(0).toInteger());
               whenApplied(quint64(reply.elements.at(1).toInteger()), [code, done] { done(code); });
           });
}

void RedisCluster::publish(const QString& instance, const QByteArray& payload)
{
    // Dropped when Redis does not keep up: texts and voice are not queued behind it.
    m_commands->command({"PUBLISH", key("to:") + instance.toLatin1(), payload});
}

namespace {
QJsonObject textRecord(const TextParts& text)
{
    return QJsonObject{
        {QStringLiteral("m"), text.mode},     {QStringLiteral("f"), text.fromId},
        {QStringLiteral("n"), text.fromName}, {QStringLiteral("u"), text.fromUniqueId},
        {QStringLiteral("x"), text.message},  {QStringLiteral("g"), double(text.target)}};
}
} // namespace

bool RedisCluster::sendChannelText(quint64 channel, const TextParts& text, Done done)
{
    // Where the replica has members; while Redis is away, where it had them.
    QStringList instances = m_state.instancesIn(channel);
    instances.removeAll(m_instance);
    if (instances.isEmpty())
        return false;
    QJsonObject record = textRecord(text);
    record.insert(QStringLiteral("c"), double(channel));
    m_outbox->send(instances, compact(record), std::move(done));
    return true;
}

bool RedisCluster::sendPrivateText(const ClientRecord& target, const TextParts& text, Done done)
{
    if (target.instance == m_instance || target.instance.isEmpty())
        return false;
    QJsonObject record = textRecord(text);
    record.insert(QStringLiteral("to"), target.id);
    m_outbox->send({target.instance}, compact(record), std::move(done));
    return true;
}

void RedisCluster::offer(const QByteArray& key, const TransferTicket& ticket, qint64 ttlMs,
                         const UploadLimits& limits, qint64 replacedBytes, int newEntries,
                         std::function<void(unsigned int, const QString&)> done)
{
    QJsonArray path;
    for (const QString& segment : ticket.path)
        path.append(segment);
    const QByteArray record =
        compact(QJsonObject{{QStringLiteral("t"), ticket.transferId},
                            {QStringLiteral("up"), ticket.upload},
                            {QStringLiteral("ch"), double(ticket.channel)},
                            {QStringLiteral("p"), path},
                            {QStringLiteral("s"), double(ticket.size)},
                            {QStringLiteral("o"), ticket.overwrite},
                            {QStringLiteral("ow"), ticket.owner ? ticket.owner->clientId : 0},
                            {QStringLiteral("oi"), m_instance}});
    script(OfferScript,
           {key.toHex(), record, QByteArray::number(ttlMs), ticket.upload ? "1" : "0",
            QByteArray::number(ticket.channel), QByteArray::number(ticket.size),
            QByteArray::number(replacedBytes), QByteArray::number(newEntries),
            QByteArray::number(limits.quotaBytes), QByteArray::number(limits.serverQuotaBytes),
            QByteArray::number(limits.maxStoreEntries), m_instance.toLatin1()},
           [limits, done](const RedisValue& reply) {
               switch (reply.isError() ? -1 : reply.toInteger()) {
               case 0:
                   return done(ERROR_ok, QString());
               case 1:
                   return done(ERROR_file_quota_exceeded,
                               QStringLiteral("the channel's store is limited to %1 bytes")
                                   .arg(limits.quotaBytes));
               case 2:
                   return done(ERROR_file_quota_exceeded,
                               QStringLiteral("the server's stores are limited to %1 bytes")
                                   .arg(limits.serverQuotaBytes));
               case 3:
                   return done(ERROR_file_quota_exceeded,
                               QStringLiteral("the channel holds too many files and directories"));
               default:
                   return done(ERROR_file_io_error,
                               QStringLiteral("the cluster cannot be reached"));
               }
           });
}

void RedisCluster::take(
    const QByteArray& key,
    std::function<void(bool, const TransferTicket&, anyID, const QString&)> done)
{
    script(TakeScript, {key.toHex(), m_instance.toLatin1()}, [this, done](const RedisValue& reply) {
        TransferTicket ticket;
        if (reply.type != RedisValue::Type::String)
            return done(false, ticket, 0, QString());
        const QJsonObject record = QJsonDocument::fromJson(reply.string).object();
        quint64 transferId = 0, channel = 0, size = 0, owner = 0;
        QString instance;
        const QJsonArray path = record.value(QLatin1String("p")).toArray();
        bool ok = readNumber(record.value(QLatin1String("t")), 1, 0xFFFF, &transferId) &&
                  readNumber(record.value(QLatin1String("ch")), 1, 9007199254740991.0, &channel) &&
                  readNumber(record.value(QLatin1String("s")), 0, 9007199254740991.0, &size) &&
                  readNumber(record.value(QLatin1String("ow")), 0, 0xFFFF, &owner) &&
                  readText(record.value(QLatin1String("oi")), 64, &instance) &&
                  record.value(QLatin1String("up")).isBool() &&
                  record.value(QLatin1String("o")).isBool() && !path.isEmpty() &&
                  path.size() <= limits::FilePathDepth;
        QStringList segments;
        for (const QJsonValue& segment : path)
            segments.append(segment.toString());
        // Checked again as a client's path would be: the record comes from outside.
        QStringList checked;
        ok = ok && splitStorePath(segments.join(QLatin1Char('/')), &checked) && checked == segments;
        if (!ok) {
            dropped("a transfer ticket", QString::fromUtf8(reply.string.left(100)));
            return done(false, ticket, 0, QString());
        }
        ticket.transferId = quint16(transferId);
        ticket.upload = record.value(QLatin1String("up")).toBool();
        ticket.channel = channel;
        ticket.path = segments;
        ticket.size = qint64(size);
        ticket.overwrite = record.value(QLatin1String("o")).toBool();
        // Redis kept it only as long as it was good.
        ticket.expiresAt = QDateTime::currentMSecsSinceEpoch() + 1000;
        done(true, ticket, anyID(owner), instance);
    });
}

void RedisCluster::release(const QByteArray& key)
{
    if (m_phase == Phase::Online)
        script(ReleaseScript, {key.toHex(), m_instance.toLatin1()}, {});
}

void RedisCluster::commit(const QByteArray& key, quint64 channel, qint64 bytes, int entries)
{
    script(UsageScript,
           {key.toHex(), QByteArray::number(channel), QByteArray::number(bytes),
            QByteArray::number(entries)},
           {});
}

void RedisCluster::change(quint64 channel, qint64 bytes, int entries)
{
    script(UsageScript,
           {QByteArray(), QByteArray::number(channel), QByteArray::number(bytes),
            QByteArray::number(entries)},
           {});
}

void RedisCluster::seed(const QHash<quint64, StoreUsage>& usage)
{
    m_seed = std::make_unique<QHash<quint64, StoreUsage>>(usage);
}

void RedisCluster::sendScreen(const QString& instance, const QByteArray& payload)
{
    if (m_phase == Phase::Online && instance != m_instance)
        publish(instance, QByteArray(1, 'S') + payload);
}

void RedisCluster::sendVoice(quint64 channel, const QByteArray& frame)
{
    if (m_phase != Phase::Online)
        return;
    QByteArray payload;
    for (const QString& instance : m_state.instancesIn(channel)) {
        if (instance == m_instance)
            continue;
        if (payload.isEmpty()) {
            payload.resize(9);
            payload[0] = 'V';
            qToBigEndian(channel, payload.data() + 1);
            payload += frame;
        }
        publish(instance, payload);
    }
}

} // namespace voiceserver
