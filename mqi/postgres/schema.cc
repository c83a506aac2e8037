// The schema "mqi" of the PostgreSQL store: tables, the functions that commit, back out and
// reap sessions in one statement, and the triggers that send the notifications waiting getters
// sleep on. Created once per database, under an advisory lock so that two first users do not
// race.
#include "mqi/postgres/postgres.h"

namespace mqi::pg {
namespace {

constexpr int64_t kSchemaLock = (int64_t{0x51540003} << 32);

// Messages, sessions and handles carry no foreign keys: a check per row (planned anew by every
// server connection) costs every put and every connect. The rows of a deleted queue or queue
// manager go with it by the triggers below; a session's handles go with the session.
// Messages: state 0 committed, 1 put by the open unit of work of session `owner`, 2 got by it.
// `expires` is in milliseconds since 1970 (0 = never). `md` is the stored MQMD image. A put of
// the payload that its unit of work got with message `data_from` (a router passing a segment
// on) stores no payload: its commit moves that message's row, payload and all, into its place.
constexpr const char* kTables = R"SQL(
CREATE SCHEMA IF NOT EXISTS mqi;
CREATE TABLE mqi.qmgrs(name text PRIMARY KEY, ccsid int NOT NULL, max_uncommitted int NOT NULL,
  max_msg_length int NOT NULL, state int NOT NULL DEFAULT 0, epoch bigint NOT NULL DEFAULT 0,
  is_default boolean NOT NULL DEFAULT false, dead_letter text NOT NULL DEFAULT '',
  def_backout int NOT NULL DEFAULT 0, lease int NOT NULL DEFAULT 15);
CREATE TABLE mqi.queues(id bigserial PRIMARY KEY,
  qmgr text NOT NULL REFERENCES mqi.qmgrs(name) ON DELETE CASCADE, name text NOT NULL,
  max_msg_length int NOT NULL, max_depth int NOT NULL, def_priority int NOT NULL,
  def_persistence int NOT NULL, def_input int NOT NULL, shareability int NOT NULL,
  delivery_seq int NOT NULL, inhibit_get int NOT NULL, inhibit_put int NOT NULL,
  description text NOT NULL DEFAULT '', depth int NOT NULL DEFAULT 0,
  backout_threshold int NOT NULL DEFAULT 0, backout_queue text NOT NULL DEFAULT '',
  UNIQUE(qmgr, name));
CREATE TABLE mqi.messages(id bigserial PRIMARY KEY,
  queue_id bigint NOT NULL,
  state smallint NOT NULL, owner bigint NOT NULL DEFAULT 0, priority int NOT NULL,
  msg_id bytea NOT NULL, correl_id bytea NOT NULL, backout int NOT NULL DEFAULT 0,
  persistent int NOT NULL, expires bigint NOT NULL, length int NOT NULL, md bytea NOT NULL,
  data bytea NOT NULL, data_from bigint NOT NULL DEFAULT 0);
ALTER TABLE mqi.messages ALTER COLUMN data SET STORAGE EXTERNAL;
CREATE INDEX messages_order ON mqi.messages(queue_id, state, priority DESC, id);
CREATE INDEX messages_ids ON mqi.messages(queue_id, correl_id, msg_id);
CREATE INDEX messages_owner ON mqi.messages(owner) WHERE owner <> 0;
CREATE INDEX messages_held ON mqi.messages(queue_id, owner) WHERE state = 2;
CREATE TABLE mqi.sessions(id bigserial PRIMARY KEY, qmgr text NOT NULL,
  client text NOT NULL DEFAULT '', machine text NOT NULL DEFAULT '',
  client_pid int NOT NULL DEFAULT 0, started timestamptz NOT NULL DEFAULT now(),
  renewed timestamptz);
CREATE INDEX sessions_qmgr ON mqi.sessions(qmgr);
CREATE TABLE mqi.handles(id bigserial PRIMARY KEY,
  session_id bigint NOT NULL, queue_id bigint NOT NULL, input int NOT NULL, output int NOT NULL);
CREATE INDEX handles_queue ON mqi.handles(queue_id);
CREATE INDEX handles_session ON mqi.handles(session_id);
)SQL";

// Brings a schema made by an earlier version up to date (the functions follow).
constexpr const char* kUpgrade = R"SQL(
ALTER TABLE mqi.messages DROP CONSTRAINT IF EXISTS messages_queue_id_fkey;
ALTER TABLE mqi.sessions DROP CONSTRAINT IF EXISTS sessions_qmgr_fkey;
ALTER TABLE mqi.handles DROP CONSTRAINT IF EXISTS handles_session_id_fkey,
  DROP CONSTRAINT IF EXISTS handles_queue_id_fkey;
DROP FUNCTION IF EXISTS mqi.reap(text);
CREATE INDEX IF NOT EXISTS messages_held ON mqi.messages(queue_id, owner) WHERE state = 2;
ALTER TABLE mqi.queues ADD COLUMN IF NOT EXISTS backout_threshold int NOT NULL DEFAULT 0,
  ADD COLUMN IF NOT EXISTS backout_queue text NOT NULL DEFAULT '';
ALTER TABLE mqi.qmgrs ADD COLUMN IF NOT EXISTS dead_letter text NOT NULL DEFAULT '',
  ADD COLUMN IF NOT EXISTS def_backout int NOT NULL DEFAULT 0;
ALTER TABLE mqi.sessions ADD COLUMN IF NOT EXISTS renewed timestamptz;
ALTER TABLE mqi.qmgrs ADD COLUMN IF NOT EXISTS lease int NOT NULL DEFAULT 15;
ALTER TABLE mqi.messages ADD COLUMN IF NOT EXISTS data_from bigint NOT NULL DEFAULT 0;
)SQL";

constexpr const char* kFunctions = R"SQL(
-- The end of a commit's moves: every put that took over the payload of a message its unit got
-- found that message (a purge of its queue could have removed it: the commit then fails and
-- the unit is backed out), and the waiters of the queues moved to are woken.
CREATE OR REPLACE FUNCTION mqi.finish_moves(wanted bigint, moved bigint, queues bigint[])
RETURNS void LANGUAGE plpgsql AS $$
BEGIN
  IF moved <> wanted THEN
    RAISE EXCEPTION 'a message whose payload a put took over is gone' USING ERRCODE = 'QTM01';
  END IF;
  PERFORM pg_notify('qt.q.' || q, '') FROM unnest(queues) q;
END $$;
-- Getters wait for notifications on "qt.q.<queue id>": the statements that make messages
-- available send them (a put outside syncpoint, a commit, a backout), not triggers, which would
-- cost every new server connection a function compilation on its first put.
CREATE OR REPLACE FUNCTION mqi.commit_session(sid bigint) RETURNS void LANGUAGE sql AS $$
  WITH p AS (DELETE FROM mqi.messages WHERE owner = sid AND owner <> 0 AND state = 1
             AND data_from <> 0 RETURNING *),
  g AS (UPDATE mqi.messages g SET id = p.id, queue_id = p.queue_id, state = 0, owner = 0,
          priority = p.priority, msg_id = p.msg_id, correl_id = p.correl_id, backout = p.backout,
          persistent = p.persistent, expires = p.expires, length = p.length, md = p.md,
          data_from = 0
        FROM p WHERE g.id = p.data_from AND g.owner = sid AND g.state = 2 RETURNING g.queue_id)
  SELECT mqi.finish_moves((SELECT count(*) FROM p), (SELECT count(*) FROM g),
                          ARRAY(SELECT DISTINCT queue_id FROM g));
  DELETE FROM mqi.messages WHERE owner = sid AND owner <> 0 AND state = 2;
  WITH flipped AS (UPDATE mqi.messages SET state = 0, owner = 0
                   WHERE owner = sid AND owner <> 0 AND state = 1 RETURNING queue_id)
  SELECT count(pg_notify('qt.q.' || q, '')) FROM (SELECT DISTINCT queue_id AS q FROM flipped) s;
$$;
CREATE OR REPLACE FUNCTION mqi.backout_session(sid bigint) RETURNS void LANGUAGE plpgsql AS $$
DECLARE r record;
BEGIN
  FOR r IN SELECT queue_id, count(*) FILTER (WHERE state = 2) AS returned,
                  count(*) FILTER (WHERE state = 1) AS dropped
           FROM mqi.messages WHERE owner = sid AND owner <> 0 GROUP BY queue_id ORDER BY queue_id
  LOOP
    UPDATE mqi.queues SET depth = greatest(0, depth + r.returned - r.dropped) WHERE id = r.queue_id;
    IF r.returned > 0 THEN
      PERFORM pg_notify('qt.q.' || r.queue_id, '');
    END IF;
  END LOOP;
  DELETE FROM mqi.messages WHERE owner = sid AND owner <> 0 AND state = 1;
  UPDATE mqi.messages SET state = 0, owner = 0, backout = backout + 1
    WHERE owner = sid AND owner <> 0 AND state = 2;
END $$;
-- The server process of a live session: the holder of its advisory lock.
CREATE OR REPLACE FUNCTION mqi.session_backend(sid bigint) RETURNS int LANGUAGE sql AS $$
  SELECT l.pid FROM pg_locks l WHERE l.locktype = 'advisory' AND l.granted
    AND l.mode = 'ExclusiveLock'
    AND l.database = (SELECT oid FROM pg_database WHERE datname = current_database())
    AND l.classid = 1364459521::oid AND l.objid = sid::oid AND l.objsubid = 1 LIMIT 1
$$;
-- Sessions of a queue manager (other than `self`, the caller's own) end in two ways.
-- A session whose advisory lock nobody holds belongs to a dead client. The look is a shared
-- try-lock on the session's key: it fails while the session's connection lives, costs one
-- lock table probe (no scan of pg_locks), and lets two reapers both see a dead session; the
-- DELETE decides which one backs it out.
-- A session whose lease ran out (not renewed for `lease` seconds of the server's clock) is
-- over whatever TCP says: a stopped process, a machine cut off. Its row is claimed only while
-- nothing holds it (its own renewal or commit in flight, which also re-checks the time), and
-- then its server connection is ended where this role may. A session of an earlier version
-- renews nothing (renewed is NULL) and ends only with its connection.
CREATE OR REPLACE FUNCTION mqi.reap(qm text, self bigint DEFAULT 0) RETURNS int
LANGUAGE plpgsql AS $$
DECLARE s record; n int := 0; lease interval; claimed boolean;
BEGIN
  SELECT make_interval(secs => q.lease) INTO lease FROM mqi.qmgrs q WHERE q.name = qm;
  FOR s IN SELECT x.id, coalesce(x.renewed < clock_timestamp() - lease, false) AS expired
           FROM mqi.sessions x WHERE x.qmgr = qm AND x.id <> self LOOP
    IF s.expired THEN
      DELETE FROM mqi.sessions WHERE id = (SELECT x.id FROM mqi.sessions x WHERE x.id = s.id
        AND x.renewed < clock_timestamp() - lease FOR UPDATE SKIP LOCKED);
      claimed := FOUND;
      IF claimed THEN
        PERFORM mqi.end_backend(mqi.session_backend(s.id));
      END IF;
    ELSE
      CONTINUE WHEN NOT pg_try_advisory_xact_lock_shared((1364459521::bigint << 32) | s.id);
      DELETE FROM mqi.sessions WHERE id = s.id;  -- the claim: a second reaper finds nothing
      claimed := FOUND;
    END IF;
    IF claimed THEN
      DELETE FROM mqi.handles WHERE session_id = s.id;
      PERFORM mqi.backout_session(s.id);
      n := n + 1;
    END IF;
  END LOOP;
  RETURN n;
END $$;
-- Renews the lease of a session inside the caller's transaction, whose row lock then keeps
-- any reaper off until it ends; a session that was ended meanwhile fails the transaction.
CREATE OR REPLACE FUNCTION mqi.hold_lease(sid bigint) RETURNS void LANGUAGE plpgsql AS $$
BEGIN
  UPDATE mqi.sessions SET renewed = clock_timestamp() WHERE id = sid;
  IF NOT FOUND THEN
    RAISE EXCEPTION 'session % has been ended (its lease ran out, or an operator ended it)', sid
      USING ERRCODE = 'QTL01';
  END IF;
END $$;
-- Ends a session as if its client had died (qmctl end-session): its server connection first,
-- where this role may, so that nothing it sent can still land; false when there is no such
-- session.
CREATE OR REPLACE FUNCTION mqi.end_session(sid bigint) RETURNS boolean LANGUAGE plpgsql AS $$
DECLARE p int;
BEGIN
  p := mqi.session_backend(sid);
  IF p IS NOT NULL AND p <> pg_backend_pid() THEN
    BEGIN
      PERFORM pg_terminate_backend(p, 2000);
    EXCEPTION WHEN others THEN
      NULL;
    END;
  END IF;
  DELETE FROM mqi.sessions WHERE id = sid;
  IF NOT FOUND THEN
    RETURN false;
  END IF;
  DELETE FROM mqi.handles WHERE session_id = sid;
  PERFORM mqi.backout_session(sid);
  RETURN true;
END $$;
-- Ends the server connection of a session; false when not allowed (another role).
CREATE OR REPLACE FUNCTION mqi.end_backend(p int) RETURNS boolean LANGUAGE plpgsql AS $$
BEGIN
  RETURN pg_terminate_backend(p);
EXCEPTION WHEN others THEN
  RETURN false;
END $$;
-- A session whose client process is known to be gone (seen from its own machine): its server
-- connection is ended first, so that nothing it had sent can still land, then it is reaped.
CREATE OR REPLACE FUNCTION mqi.reap_session(sid bigint) RETURNS void LANGUAGE plpgsql AS $$
DECLARE p int;
BEGIN
  SELECT l.pid INTO p FROM pg_locks l WHERE l.locktype = 'advisory' AND l.granted
    AND l.database = (SELECT oid FROM pg_database WHERE datname = current_database())
    AND l.classid = 1364459521::oid AND l.objid = sid::oid AND l.objsubid = 1;
  IF p IS NOT NULL THEN
    BEGIN
      PERFORM pg_terminate_backend(p, 2000);
    EXCEPTION WHEN others THEN
      NULL;
    END;
    -- The backend may also have ended on its own in the meantime (the terminate then finds no
    -- such process): what counts is whether the session's lock is still held.
    IF EXISTS (SELECT 1 FROM pg_locks l WHERE l.locktype = 'advisory' AND l.granted
        AND l.database = (SELECT oid FROM pg_database WHERE datname = current_database())
        AND l.classid = 1364459521::oid AND l.objid = sid::oid AND l.objsubid = 1) THEN
      RETURN;
    END IF;
  END IF;
  DELETE FROM mqi.sessions WHERE id = sid;
  IF FOUND THEN
    DELETE FROM mqi.handles WHERE session_id = sid;
    PERFORM mqi.backout_session(sid);
  END IF;
END $$;
CREATE OR REPLACE FUNCTION mqi.notify_queue() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  IF TG_OP = 'DELETE' THEN
    PERFORM pg_notify('qt.q.' || OLD.id, '');
  ELSE
    PERFORM pg_notify('qt.q.' || NEW.id, '');
  END IF;
  RETURN NULL;
END $$;
CREATE OR REPLACE FUNCTION mqi.notify_qmgr() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  PERFORM pg_notify('qt.m.' || NEW.name, '');
  RETURN NULL;
END $$;
-- What a deleted queue or queue manager leaves behind (rare: no cost on the message paths).
CREATE OR REPLACE FUNCTION mqi.drop_queue_rows() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  DELETE FROM mqi.messages WHERE queue_id = OLD.id;
  DELETE FROM mqi.handles WHERE queue_id = OLD.id;
  RETURN NULL;
END $$;
CREATE OR REPLACE FUNCTION mqi.drop_qmgr_rows() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  DELETE FROM mqi.handles WHERE session_id IN (SELECT id FROM mqi.sessions WHERE qmgr = OLD.name);
  DELETE FROM mqi.sessions WHERE qmgr = OLD.name;
  RETURN NULL;
END $$;
CREATE OR REPLACE TRIGGER queues_rows AFTER DELETE ON mqi.queues FOR EACH ROW
  EXECUTE FUNCTION mqi.drop_queue_rows();
CREATE OR REPLACE TRIGGER qmgrs_rows AFTER DELETE ON mqi.qmgrs FOR EACH ROW
  EXECUTE FUNCTION mqi.drop_qmgr_rows();
CREATE OR REPLACE TRIGGER queues_inhibit AFTER UPDATE OF inhibit_get, inhibit_put, delivery_seq
  ON mqi.queues FOR EACH ROW EXECUTE FUNCTION mqi.notify_queue();
CREATE OR REPLACE TRIGGER queues_gone AFTER DELETE ON mqi.queues FOR EACH ROW
  EXECUTE FUNCTION mqi.notify_queue();
CREATE OR REPLACE TRIGGER qmgrs_state AFTER UPDATE OF state, epoch ON mqi.qmgrs FOR EACH ROW
  EXECUTE FUNCTION mqi.notify_qmgr();
)SQL";

// Whether the schema is there, and whether it is the current one (the last thing an upgrade
// adds is there).
struct SchemaState {
  bool exists = false;
  bool current = false;
};

SchemaState schemaState(Conn& conn) {
  Rows r = conn.exec(
      "SELECT EXISTS (SELECT 1 FROM pg_catalog.pg_tables"
      " WHERE schemaname='mqi' AND tablename='handles'),"
      " EXISTS (SELECT 1 FROM pg_catalog.pg_indexes"
      " WHERE schemaname='mqi' AND indexname='messages_held')"
      " AND EXISTS (SELECT 1 FROM pg_catalog.pg_attribute"
      " WHERE attrelid=to_regclass('mqi.qmgrs') AND attname='lease')"
      " AND EXISTS (SELECT 1 FROM pg_catalog.pg_attribute"
      " WHERE attrelid=to_regclass('mqi.messages') AND attname='data_from')");
  if (!r.ok() || r.size() != 1) return {};
  return {r.text(0, 0) == "t", r.text(0, 1) == "t"};
}

}  // namespace

bool schemaExists(Conn& conn) {
  // A scan of the catalog table itself: a name lookup could answer from a cache that does not
  // yet know of tables another connection made a moment ago.
  Rows r = conn.exec("SELECT EXISTS (SELECT 1 FROM pg_catalog.pg_tables"
                     " WHERE schemaname='mqi' AND tablename='handles')");
  return r.ok() && r.size() == 1 && r.text(0, 0) == "t";
}

std::string ensureSchema(Conn& conn) {
  if (schemaState(conn).current) return "";
  Rows begun = conn.exec("BEGIN; SELECT pg_advisory_xact_lock(" + std::to_string(kSchemaLock) + ")");
  if (!begun.ok()) return begun.error();
  SchemaState state = schemaState(conn);
  if (!state.current) {
    for (const char* script : {state.exists ? kUpgrade : kTables, kFunctions}) {
      Rows made = conn.exec(script);
      if (!made.ok()) {
        std::string error = made.error();
        conn.exec("ROLLBACK");
        return "cannot create the schema mqi: " + error;
      }
    }
  }
  Rows committed = conn.exec("COMMIT");
  return committed.ok() ? "" : committed.error();
}

}  // namespace mqi::pg
