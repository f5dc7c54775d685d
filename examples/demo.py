"""A short tour of veltar_core: an audit trail kept in a forensic hash chain."""
import veltar_core


def main():
    chain = veltar_core.TamoHashChain()
    events = [
        ("agent.start", "session s-42 opened by user alice"),
        ("tool.call", "search(query='quarterly report')"),
        ("agent.reply", "Here is the summary you asked for."),
    ]
    records = [chain.record(event_id, data) for event_id, data in events]
    print("Audit records:")
    for r in records:
        print(f"  #{r['sequence']} {r['event_id']:<12} {r['timestamp_iso']}  {r['hash'][:16]}… <- {r['previous_hash'][:16]}")

    pairs = [(r["hash"], r["previous_hash"]) for r in records]
    print("Verify stored chain:", chain.verify_chain(pairs))

    pairs[1] = ("0" * 64, pairs[1][1])
    print("After tampering with record #2:", chain.verify_chain(pairs))
    print("Stats:", chain.get_stats())


if __name__ == "__main__":
    main()
