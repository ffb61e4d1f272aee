"""The tick store: recorded ticks read once, checked and converted, and kept as Arrow IPC files,
one per trading day and instrument (STORE/YYYYMMDD/INSTRUMENT.arrow), which a replay maps into
memory instead of parsing its tick files again. A store is an ordinary directory: a cluster's
workers read it from shared storage.

A store file keeps the columns as the reader converted them, each row's calendar time, and the
tick file and line it came from, so that a replay of the store gives the outputs of a replay of
the tick files, byte for byte. Ticks the reader refuses are not stored: the ingest lists them
(refusals.csv), file and line, and a file refused whole is named and stored not at all.

Ticks of several files are merged in time order; ticks at the same time in the order of the
files as they were ingested, and within a file in its order.
"""
import csv
import datetime
import fnmatch
import functools
import heapq
import json
import math
import os
import shutil
import tempfile
from pathlib import Path

from ..common.errors import UsageError, shown
from .ticks import Batch, TickSource, expand, prepare_reading

MARKER = "store.json"  # marks a directory as a store, and says how it is laid out
LAYOUT = "YYYYMMDD/INSTRUMENT.arrow"
FORMAT = 1
SUFFIX = ".arrow"
REFUSALS = "refusals.csv"
INDEX = "index.json"  # in each day's directory
META = b"brindle.sources"
# Per row: calendar time, line, and its tick file and layout (at ingest the file's rank among
# the files, in a store file its place in the file's list of them).
TIME, LINE, SOURCE = "_time", "_line", "_source"
KIND_NAMES = {str: "str", int: "int", float: "float", None: "text"}  # text: each value its own type
KINDS = {name: kind for kind, name in KIND_NAMES.items()}
BATCH_ROWS = 1 << 14
READ_WHOLE = 1 << 18  # bytes: a store file up to this size is read whole rather than mapped
# A stream whose record batches are smaller shares a lane with its neighbours: copying its rows into
# a merged window costs less than the loop's costs of a batch below some 1,500 rows.
FEW_ROWS = 1 << 10
WINDOW_ROWS = 1 << 16  # about the most rows in a window of the merge of streams sharing a lane


def is_store(path):
    return (Path(path) / MARKER).is_file()


# --- ingest -----------------------------------------------------------------------------------


class Ingested:
    """What an ingest did: files stored, files refused whole (name, why), ticks refused, store
    files written."""

    def __init__(self):
        self.files = self.ticks = self.bytes = 0
        self.refused_files = []
        self.refused_ticks = 0
        self.written = set()


def ingest(arguments, store, converters, columns=None, instrument=None, trading_day=None, skip_bad=False,
           bands=None, instruments=None):
    """Reads the tick files (paths, directories, glob patterns) as a replay reads them and
    stores their ticks in the store directory `store`; gives an Ingested. A file that the reader
    refuses is recorded and left out, the others are stored; a store file of a day and
    instrument ingested again is replaced. instruments: the instrument list as the replay reads
    it (IDs in file names, price ticks), or None."""
    store = Path(store)
    marker = store / MARKER
    if store.exists() and not store.is_dir():
        raise UsageError("%s is a file: name a directory for the store" % shown(store))
    if store.is_dir() and any(store.iterdir()) and not marker.is_file():
        raise UsageError("%s/ holds other files and no %s: name a new directory or a store" % (shown(store), MARKER))
    paths = expand(arguments)
    try:
        store.mkdir(parents=True, exist_ok=True)
        marker.write_text(json.dumps({"format": FORMAT, "layout": LAYOUT}) + "\n")
        staging = Path(tempfile.mkdtemp(prefix=".ingest-", dir=store))
    except OSError as error:
        raise UsageError("cannot write the store %s: %s" % (shown(store), error.strerror)) from None
    done = Ingested()
    refusals = []  # (file, line, reason)
    try:
        for rank, path in enumerate(paths):
            pieces = {}  # (day, instrument, columns) -> [pyarrow tables]
            skipped = []  # (file, line, reason)
            try:
                source = TickSource([path], converters, columns, instrument, trading_day, skip_bad, bands=bands,
                                    instruments=instruments)
                tick_file = source.files[0]
                for batch in source.batches(tick_file):
                    skipped.extend((tick_file.name, line, reason) for reason, line, _ in batch.skipped)
                    for key, table in split(batch, rank):
                        pieces.setdefault(key, []).append(table)
            except UsageError as error:
                done.refused_files.append((shown(path), str(error)))
                refusals.append((shown(path), "", str(error)))
                continue
            refusals.extend(skipped)
            done.refused_ticks += len(skipped)
            stage(staging, rank, pieces, tick_file)
            done.files += 1
            done.bytes += os.path.getsize(tick_file.path)
        done.ticks = finish(staging, store, done.written)
        record_refusals(store / REFUSALS, refusals)
    except OSError as error:
        raise UsageError("cannot write the store %s: %s" % (shown(store), error.strerror or error)) from None
    finally:
        shutil.rmtree(staging, ignore_errors=True)
    return done


def split(batch, rank):
    """((trading day, instrument, the batch's columns and kinds), table) of the batch's rows
    kept, by day and instrument."""
    import numpy as np
    import pyarrow as pa

    arrays = [array for _, _, array in batch.columns] + [pa.array(batch.keys), pa.array(batch.lines),
                                                          pa.array(np.full(batch.size, rank, np.int32))]
    names = [name for name, _, _ in batch.columns] + [TIME, LINE, SOURCE]
    table = pa.Table.from_arrays(arrays, names=names)
    layout = tuple((name, KIND_NAMES[kind]) for name, kind, _ in batch.columns)
    instrument = dict(batch.constants).get("InstrumentID")
    if instrument is not None:
        ids, codes = [instrument], np.zeros(batch.size, np.int64)
    else:
        encoded = batch.columns[batch.positions["InstrumentID"]][2].dictionary_encode()
        ids, codes = encoded.dictionary.to_pylist(), encoded.indices.to_numpy().astype(np.int64)
    days = len(batch.day_texts)
    groups = codes * days + batch.day_index
    if batch.bad is not None:
        groups = np.where(batch.bad, -1, groups)
    # One sort for all groups (stable: each group's rows stay in file order), not a pass per group.
    order = np.argsort(groups, kind="stable")
    found, starts = np.unique(groups[order], return_index=True)
    for group, start, end in zip(found.tolist(), starts.tolist(), starts[1:].tolist() + [len(order)]):
        if group < 0:
            continue
        instrument_id, day = ids[group // days], batch.day_texts[group % days]
        if not safe_name(instrument_id):
            raise UsageError("instrument %r cannot name a store file" % instrument_id)
        yield (day, instrument_id, layout), table.take(pa.array(order[start:end]))


def safe_name(instrument_id):
    return bool(instrument_id) and instrument_id not in (".", "..") and not set("/\\\0") & set(instrument_id)


def stage(staging, rank, pieces, tick_file):
    """A tick file's rows by day, instrument and layout, kept aside until every file is read."""
    import pyarrow as pa

    layouts = {}
    for (day, instrument_id, layout), tables in pieces.items():
        number = layouts.setdefault(layout, len(layouts))
        entry = {"rank": rank, "name": tick_file.name, "unit": tick_file.unit,
                 "constants": list(tick_file.constants.items()), "columns": layout}
        table = pa.concat_tables(tables)
        place = staging / day / instrument_id
        place.mkdir(parents=True, exist_ok=True)
        write_table(place / ("%09d-%03d%s" % (rank, number, SUFFIX)),
                    table.replace_schema_metadata({META: json.dumps(entry).encode()}))


def finish(staging, store, written):
    """The store files of the staged rows, rows of several tick files in time order; gives the
    ticks stored. A row's SOURCE is the place of its file and layout in the store file's list."""
    import numpy as np
    import pyarrow as pa
    import pyarrow.compute as pc

    ticks = 0
    for day_place in sorted(p for p in staging.iterdir() if p.is_dir()):
        index = read_index(store / day_place.name, missing_ok=True)
        for place in sorted(day_place.iterdir()):
            entries, tables = [], []
            for code, part in enumerate(sorted(place.iterdir())):
                table = read_table(part)
                entries.append(json.loads(table.schema.metadata[META]))
                tables.append(table.replace_schema_metadata(None).set_column(
                    table.schema.get_field_index(SOURCE), SOURCE, pa.array(np.full(table.num_rows, code, np.int32))))
            try:
                table = pa.concat_tables(tables, promote_options="default")
            except pa.ArrowInvalid as error:
                raise UsageError("%s of %s: the tick files give a column different types: %s"
                                 % (place.name, day_place.name, error)) from None
            ranks = np.array([entry["rank"] for entry in entries], np.int64)
            if len(set(ranks.tolist())) > 1:
                rank = pa.array(ranks[table.column(SOURCE).to_numpy()])
                order = pc.sort_indices(pa.table({TIME: table.column(TIME), "rank": rank, LINE: table.column(LINE)}),
                                        [(TIME, "ascending"), ("rank", "ascending"), (LINE, "ascending")])
                table = table.take(order)
            # One record batch per BATCH_ROWS, not one per batch of the reader's.
            table = table.combine_chunks().replace_schema_metadata({META: json.dumps(entries).encode()})
            target = store / day_place.name / (place.name + SUFFIX)
            target.parent.mkdir(exist_ok=True)
            write_table(target, table)
            written.add(target)
            ticks += table.num_rows
            index["rows"][place.name] = table.num_rows
            index["names"] = list(dict.fromkeys(index["names"] + [name for entry in entries for name, _ in
                                                                  entry["columns"] + entry["constants"]]))
        write_index(store / day_place.name, index)
    return ticks


def write_index(day_place, index):
    """The day's index: the names of its ticks' fields and the ticks of each instrument, so that
    a replay chooses and checks without opening every file."""
    partial = day_place / (".%s.partial" % INDEX)
    partial.write_text(json.dumps(index, sort_keys=True) + "\n")
    os.replace(partial, day_place / INDEX)


def read_index(day_place, missing_ok=False):
    path = day_place / INDEX
    try:
        index = json.loads(path.read_text())
        if not isinstance(index.get("rows"), dict) or not isinstance(index.get("names"), list):
            raise ValueError("not an index")
        return index
    except FileNotFoundError:
        if missing_ok:
            return {"names": [], "rows": {}}
        raise damaged(path, "missing") from None
    except (OSError, ValueError, AttributeError) as error:
        raise damaged(path, error) from None


def write_table(path, table):
    """An Arrow IPC file, whole or not at all."""
    import pyarrow as pa

    partial = path.with_name(".%s.partial" % path.name)
    with pa.OSFile(str(partial), "wb") as sink:
        with pa.ipc.new_file(sink, table.schema) as writer:
            writer.write_table(table, max_chunksize=BATCH_ROWS)
    os.replace(partial, path)


def read_table(path):
    import pyarrow as pa

    with pa.memory_map(str(path)) as source:
        return pa.ipc.open_file(source).read_all()


def record_refusals(path, refusals):
    """The refusals of this ingest, after those of earlier ones."""
    if not refusals:
        return
    new = not path.exists()
    with open(path, "a", newline="", encoding="utf-8") as out:
        writer = csv.writer(out, lineterminator="\n")
        if new:
            writer.writerow(("ingested", "file", "line", "reason"))
        now = datetime.datetime.now().isoformat(timespec="seconds")
        writer.writerows((now, name, line, reason) for name, line, reason in refusals)


# --- reading ----------------------------------------------------------------------------------


def day_range(first=None, last=None, days=None):
    """Whether a trading day YYYYMMDD is chosen by --from, --to and --days."""
    def chosen(day):
        return (first is None or day >= first) and (last is None or day <= last) and (days is None or day in days)

    return chosen


def store_days(store, chosen=None):
    """The trading days a store holds (those chosen)."""
    from .ticks import parse_day

    store = Path(store)
    return sorted(p.name for p in store.iterdir()
                  if p.is_dir() and parse_day(p.name) is not None and (chosen is None or chosen(p.name)))


class SourceFile:
    """The tick file a store's rows came from, as a replay names it (the file of a tick)."""

    def __init__(self, entry):
        self.number = entry["rank"]
        self.name = self.file_name = entry["name"]
        self.unit = entry["unit"]
        self.constants = dict(entry["constants"])
        self.columns = [(name, KINDS[kind]) for name, kind in entry["columns"]]


class Stream:
    """The store files of one instrument, day after day: one stream of the replay's merge."""

    def __init__(self, store, instrument_id, days, number):
        self.instrument = instrument_id
        self.parts = [store / day / (instrument_id + SUFFIX) for day in days]
        self.number = number
        self.path = store / "*" / (instrument_id + SUFFIX)  # what the summary names
        self.name = shown(self.path)


class StoreSource:
    """The ticks of a store's chosen days and instruments, in time order, as TickSource gives
    those of tick files."""

    def __init__(self, store, first=None, last=None, days=None, select=None):
        prepare_reading()

        self.store = Path(store)
        chosen = store_days(self.store, day_range(first, last, frozenset(days) if days else None))
        wanted = tuple(select) if select is not None else ("*",)
        by_instrument, names, self.rows = {}, {}, 0
        for day in chosen:
            index = read_index(self.store / day)
            held = [i for i in sorted(index["rows"]) if any(fnmatch.fnmatchcase(i, pattern) for pattern in wanted)]
            for instrument_id in held:
                by_instrument.setdefault(instrument_id, []).append(day)
                self.rows += index["rows"][instrument_id]
            if held:
                names.update(dict.fromkeys(index["names"]))
        if not by_instrument:
            raise UsageError("the store %s holds no ticks%s%s%s" % (
                shown(self.store), " from %s" % first if first else "", " to %s" % last if last else "",
                " of %s" % ",".join(wanted) if select is not None else ""))
        self.files = [Stream(self.store, instrument_id, held, number)
                      for number, (instrument_id, held) in enumerate(sorted(by_instrument.items()))]
        self.layouts = {}  # the files' list of tick files -> [(schema, Layout)]
        self.names = list(names)
        self.assumed = []
        self.bad = {}  # the store holds no impossible tick: the ingest refused them
        self.bad_of = {}
        self.fractions = {}  # how the ingest read short fractions of a second is its own report's
        self.misdated = [0, None]

    @property
    def shown(self):
        days = sorted({part.parent.name for stream in self.files for part in stream.parts})
        return "the store %s/ (%d instrument%s, %s)" % (
            shown(self.store), len(self.files), "s" * (len(self.files) > 1),
            days[0] if len(days) == 1 else "%s..%s" % (days[0], days[-1]))

    def _open(self, path):
        """The IPC reader of a store file, and its Layout; a damaged file is refused by its
        name. A small file is read whole (into the interpreter's memory: opening a mapped one
        cost three times as much), a larger one mapped."""
        import pyarrow as pa

        try:
            if os.path.getsize(path) <= READ_WHOLE:
                with open(path, "rb") as whole:
                    source = pa.py_buffer(whole.read())
            else:
                source = pa.memory_map(str(path))
            reader = pa.ipc.open_file(source)
        except (OSError, pa.ArrowException) as error:
            raise damaged(path, error) from None
        return reader, self._layout(path, reader.schema)

    def _layout(self, path, schema):
        """The Layout of a store file's schema, read once for all the files that share it (the
        files of the same tick files)."""
        metadata = schema.metadata or {}
        known = self.layouts.setdefault(metadata.get(META), [])
        for other, layout in known:
            if other.equals(schema):
                return layout
        layout = Layout(path, schema)
        known.append((schema, layout))
        return layout

    def count_rows(self):
        return self.rows

    def __iter__(self):
        """(calendar time, trading day, file, line, tick, row values) of every tick."""
        streams = [self._stream_ticks(stream) for stream in self.files]
        return heapq.merge(*streams, key=lambda tick: (tick[0], tick[2].number, tick[3]))

    def lanes(self):
        """The batches of the store's files, as the native loop merges them: a lane for each
        instrument, but neighbouring instruments whose files are small and of one layout (a
        market's day ingested from the same tick files) share a lane, their rows merged here a
        window of time at a time. The loop's costs of a batch and of its merge are then paid once
        for the window, not once for every instrument's small file."""
        lanes, group = [], []
        for stream in self.files:
            cursor = Cursor(self.chunks(stream))
            if group and not (cursor.small and group[-1].small and cursor.layout is group[-1].layout):
                lanes.append(self.lane(group))
                group = []
            group.append(cursor)
        return lanes + [self.lane(group)]

    def _stream_ticks(self, stream):
        for batch in self.batches(stream):
            yield from batch.ticks()

    def batches(self, stream, count=True):
        """The stream's ticks as Batch objects, a store file after the other; a batch holds the
        rows of one tick file."""
        for chunk in self.chunks(stream):
            yield from self.split(chunk, 0, chunk.size)

    def chunks(self, stream):
        """The stream's record batches (Chunk), a store file after the other."""
        import pyarrow as pa

        for part in stream.parts:
            reader, layout = self._open(part)
            for index in range(reader.num_record_batches):
                try:
                    record = reader.get_batch(index)
                    record.validate(full=True)
                    codes = record.column(layout.source).to_numpy()
                    times, lines = record.column(layout.time).to_numpy(), record.column(layout.line).to_numpy()
                except (OSError, pa.ArrowException) as error:
                    raise damaged(part, error) from None
                if len(codes):
                    if codes.min() < 0 or codes.max() >= len(layout.sources):
                        raise damaged(part, "rows of a tick file that it does not list")
                    yield Chunk(stream, part, layout, record, codes, times, lines)

    def split(self, chunk, start, end):
        """Batches of a chunk's rows start..end, one for each run of rows of one tick file."""
        import numpy as np

        codes = chunk.codes[start:end]
        edges = [] if codes.min() == codes.max() else (np.flatnonzero(np.diff(codes)) + start + 1).tolist()
        for first, last in zip([start, *edges], [*edges, end]):
            rows = chunk.record if last - first == chunk.size else chunk.record.slice(first, last - first)
            yield self._batch(chunk.layout, int(chunk.codes[first]), rows, chunk.times[first:last], [chunk.day],
                              np.zeros(last - first, np.int64), chunk.lines[first:last], chunk.stream.instrument)

    def lane(self, cursors):
        return self.merged(cursors) if len(cursors) > 1 else cursors[0].whole(self)

    def merged(self, cursors):
        """The batches of the cursors' streams merged in the loop's order: by time, then the
        rank of the tick file, its line, and the stream. Each window takes of each stream the
        rows before its first at or after a cut, a time that every stream still to be read has
        reached among the rows loaded; the loop's merge would give all those rows before any
        other, so the window is exact even where a stream's times go back."""
        import numpy as np

        cut = -math.inf
        while True:
            for cursor in cursors:
                cursor.load(cut)
            if not any(cursor.pending for cursor in cursors):
                return
            cut = min((cursor.last for cursor in cursors if not cursor.done), default=math.inf)
            pieces = [cursor.before(cut) for cursor in cursors]
            rows = sum(end - start for taken in pieces for _, start, end in taken)
            if rows > WINDOW_ROWS:  # a bounded window: the rows before the time of about the WINDOW_ROWS-th,
                # found among every step-th row (a window's size is a bound on memory, not its order)
                step = rows // WINDOW_ROWS
                times = np.concatenate([chunk.times[start:end:step] for taken in pieces for chunk, start, end in taken])
                rank = WINDOW_ROWS // step
                lower = float(np.partition(times, rank)[rank])
                if (times < lower).any():
                    cut = lower
                    pieces = [cursor.before(cut) for cursor in cursors]
            for cursor, taken in zip(cursors, pieces):
                cursor.drop(taken)
            yield from self.window([(place, *piece) for place, taken in enumerate(pieces) for piece in taken])

    def window(self, pieces):
        """The batches of a window's rows, pieces (the stream's place, Chunk, start, end), in the
        loop's order: a batch for each run of rows of one tick file."""
        import numpy as np
        import pyarrow as pa
        import pyarrow.compute as pc

        if len(pieces) == 1:
            _, chunk, start, end = pieces[0]
            yield from self.split(chunk, start, end)
            return

        def joined(values):
            return np.concatenate([values(chunk, start, end) for _, chunk, start, end in pieces])

        times, lines = joined(lambda chunk, a, b: chunk.times[a:b]), joined(lambda chunk, a, b: chunk.lines[a:b])
        ranks = joined(lambda chunk, a, b: chunk.layout.ranks[chunk.codes[a:b]])
        places = np.concatenate([np.full(end - start, place, np.int64) for place, _, start, end in pieces])
        order = merge_order(times, ranks, lines, places)
        days = sorted({chunk.day for _, chunk, _, _ in pieces})
        day_index = joined(lambda chunk, a, b: np.full(b - a, days.index(chunk.day), np.int64))
        # The rows of each layout in one record batch, and each row's place in it.
        slices, at, sizes = {}, [], {}
        for _, chunk, start, end in pieces:
            first = sizes.get(chunk.layout, 0)
            slices.setdefault(chunk.layout, []).append(chunk.record.slice(start, end - start))
            at.append(np.arange(first, first + end - start))
            sizes[chunk.layout] = first + end - start
        layouts, at = list(slices), np.concatenate(at)
        # The window's copies come from the C library's allocator: Arrow's default one hands each
        # window fresh huge pages, and zeroing them cost more than the merge itself. Its rows are
        # taken from the slices as they are (one copy, not a concatenation and a take).
        pool = pa.system_memory_pool()
        tables = [pa.Table.from_batches(slices[layout]) for layout in layouts]
        sources = joined(lambda chunk, a, b: chunk.codes[a:b].astype(np.int64)
                         + layouts.index(chunk.layout) * (1 << 32))[order]
        instruments = {place: chunk.stream.instrument for place, chunk, _, _ in pieces}
        edges = (np.flatnonzero(np.diff(sources)) + 1).tolist()
        for first, last in zip([0, *edges], [*edges, len(order)]):
            rows = order[first:last]
            number, code = divmod(int(sources[first]), 1 << 32)
            streams = places[rows]
            # One stream's rows name their instrument; those of several, their InstrumentID column.
            instrument = instruments[int(streams[0])] if (streams == streams[0]).all() else None
            rows_taken = pc.take(tables[number], pa.array(at[rows]), memory_pool=pool)
            rows_taken = rows_taken.combine_chunks(memory_pool=pool).to_batches()[0]
            yield self._batch(layouts[number], code, rows_taken, times[rows], days, day_index[rows], lines[rows],
                              instrument)

    @staticmethod
    def _batch(layout, code, rows, keys, days, day_index, lines, instrument):
        columns = [(name, kind, rows.column(position)) for name, kind, position in layout.columns[code]]
        batch = Batch(layout.sources[code], columns, keys, days, day_index, lines, None, [])
        batch.instrument = instrument  # the ingest wrote only the instrument's rows to its files
        return batch


def merge_order(times, ranks, lines, places):
    """The order in which the loop's merge takes the rows of several streams (places: each
    row's stream, the rows of a stream together and in its order): by time, rank, line and
    stream, each stream's rows in their order."""
    import numpy as np

    same = places[1:] == places[:-1]
    step_time, step_rank = np.diff(times), np.diff(ranks)
    forward = (step_time > 0) | ((step_time == 0) & ((step_rank > 0) | ((step_rank == 0) & (np.diff(lines) >= 0))))
    if (forward | ~same).all():  # every stream in the order of its keys: a sort gives the merge
        return np.lexsort((places, lines, ranks, times))
    keys = list(zip(times.tolist(), ranks.tolist(), lines.tolist()))
    edges = [0, *(np.flatnonzero(~same) + 1).tolist(), len(keys)]
    return np.fromiter(heapq.merge(*(range(a, b) for a, b in zip(edges, edges[1:])), key=keys.__getitem__),
                       np.int64, len(keys))


class Chunk:
    """A record batch of a store file, and what the merge reads of its rows."""

    def __init__(self, stream, part, layout, record, codes, times, lines):
        self.stream, self.layout, self.record = stream, layout, record
        self.day = part.parent.name
        self.codes, self.times, self.lines = codes, times, lines
        self.size = len(codes)

    @functools.cached_property
    def ordered(self):
        """Whether its times are in order (most files' rows): the merge then finds a time's row
        by bisection. Asked only of the chunks that the store merges."""
        return bool((self.times[1:] >= self.times[:-1]).all())

    def first_from(self, start, cut):
        """The first of the rows from start at or after the cut (size: none)."""
        import numpy as np

        if self.ordered:
            return start + int(np.searchsorted(self.times[start:], cut, "left"))
        later = np.flatnonzero(self.times[start:] >= cut)
        return start + int(later[0]) if len(later) else self.size

    def latest_from(self, start):
        return float(self.times[-1] if self.ordered else self.times[start:].max())


class Cursor:
    """A stream's record batches read ahead of the merge, and the rows of them not yet merged."""

    def __init__(self, chunks):
        self.chunks = chunks
        self.coming = next(chunks, None)
        self.layout = self.coming.layout if self.coming is not None else None
        self.small = self.coming is not None and self.coming.size < FEW_ROWS
        self.pending = []  # [Chunk, its first row not merged]
        self.last = -math.inf  # the latest time of the rows pending

    @property
    def done(self):
        return self.coming is None

    def whole(self, source):
        """The stream's batches, alone in its lane."""
        while self.coming is not None:
            chunk, self.coming = self.coming, next(self.chunks, None)
            yield from source.split(chunk, 0, chunk.size)

    def load(self, cut):
        """Reads record batches until a row pending is later than the cut and a few rows are pending."""
        while self.coming is not None and (self.last <= cut or self.rows() < FEW_ROWS):
            chunk, self.coming = self.coming, next(self.chunks, None)
            self.pending.append([chunk, 0])
            self.last = max(self.last, chunk.latest_from(0))

    def rows(self):
        return sum(chunk.size - start for chunk, start in self.pending)

    def before(self, cut):
        """(Chunk, start, end) of the rows pending before the first at or after the cut."""
        taken = []
        for chunk, start in self.pending:
            end = chunk.first_from(start, cut)
            if end > start:
                taken.append((chunk, start, end))
            if end < chunk.size:
                break
        return taken

    def drop(self, taken):
        if not taken:
            return
        chunk, _, end = taken[-1]
        while self.pending[0][0] is not chunk:
            self.pending.pop(0)
        if end == chunk.size:
            self.pending.pop(0)
        else:
            self.pending[0][1] = end
        self.last = max((chunk.latest_from(start) for chunk, start in self.pending), default=-math.inf)


class Layout:
    """What store files of one schema share: the tick files their rows came from (SourceFile,
    by the code of their rows) and where each one's columns are among the file's."""

    def __init__(self, path, schema):
        import numpy as np

        names = schema.names
        if schema.metadata is None or META not in schema.metadata or not {TIME, LINE, SOURCE} <= set(names):
            raise UsageError("%s: not a file of a tick store (written by brindle-ingest)" % shown(path))
        position = {name: number for number, name in enumerate(names)}
        try:
            self.sources = [SourceFile(entry) for entry in json.loads(schema.metadata[META])]
            self.columns = [[(name, kind, position[name]) for name, kind in source.columns]
                            for source in self.sources]
        except (ValueError, KeyError, TypeError) as error:
            raise damaged(path, "its list of tick files: %s %s" % (type(error).__name__, error)) from None
        self.time, self.line, self.source = position[TIME], position[LINE], position[SOURCE]
        self.ranks = np.array([source.number for source in self.sources], np.int64)  # of each code's tick file


def damaged(path, error):
    return UsageError("%s: a damaged store file (%s): ingest its tick files again"
                      % (shown(path), str(error).splitlines()[0] if str(error) else type(error).__name__))


def store_among(ticks, args):
    """The store that the ticks name (a directory, alone), or None for tick files; options
    that fit only one of them are refused."""
    stores = [t for t in ticks if is_store(t)]
    if not stores:
        if any(getattr(args, name, None) is not None for name in ("from_day", "to_day", "select")):
            raise UsageError("--from, --to and --select choose the days and instruments of a tick store "
                             "(brindle-ingest makes one); %s is none" % shown(ticks[0]))
        return None
    if len(ticks) > 1:
        raise UsageError("%s is a tick store: replay it alone, not with other ticks" % shown(stores[0]))
    layout = [flag for flag, name in (("--columns", "columns"), ("--instrument", "instrument"),
                                      ("--trading-day", "trading_day"), ("--price-bands", "price_bands"))
              if getattr(args, name, None) is not None]
    if layout:
        raise UsageError("%s describe%s tick files, and %s is a tick store: give %s to brindle-ingest" % (
            " and ".join(layout), "s" * (len(layout) == 1), shown(stores[0]), "them" if len(layout) > 1 else "it"))
    return stores[0]


def tick_source(ticks, args):
    """The replay's ticks when they are a store (chosen with --from, --to, --select and
    --days); None for tick files."""
    store = store_among(ticks, args)
    return None if store is None else StoreSource(store, args.from_day, args.to_day, args.days, args.select)
