#!/usr/bin/python3
"""Builds resources/res/countries.db, the country library the program ships.

Sources (Debian packages, needed only to run this script):
  python3-phonenumbers          calling codes, mobile number patterns, allowed lengths, trunk and
                                international prefixes; every region it knows becomes a country row
  iso-codes                     English country names
  mobile-broadband-provider-info  mobile country codes (MCC) of each country's networks
  Qt 5 locale data              country names in the country's own language, read through the small
                                helper in tools/country_names (built here with CMake)
Countries the provider list lacks take their MCCs from E212 below, written from the public ITU-T
E.212 list; that table also decides which country an MCC shared by several territories maps to.

Usage: tools/gen_countries.py [output path]   (default: resources/res/countries.db)
"""

import json
import os
import sqlite3
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

import phonenumbers
from phonenumbers import PhoneMetadata

HERE = os.path.dirname(os.path.abspath(__file__))
ISO_3166 = '/usr/share/iso-codes/json/iso_3166-1.json'
PROVIDERS = '/usr/share/mobile-broadband-provider-info/serviceproviders.xml'

# MCC -> the countries that use it; the first one is the country the MCC maps to.
E212 = {
    '202': 'GR', '204': 'NL', '206': 'BE', '208': 'FR', '212': 'MC', '213': 'AD', '214': 'ES',
    '216': 'HU', '218': 'BA', '219': 'HR', '220': 'RS', '221': 'XK', '222': 'IT', '225': 'VA',
    '226': 'RO', '228': 'CH', '230': 'CZ', '231': 'SK', '232': 'AT', '234': 'GB GG JE IM',
    '235': 'GB', '238': 'DK', '240': 'SE', '242': 'NO SJ', '244': 'FI AX', '246': 'LT',
    '247': 'LV', '248': 'EE', '250': 'RU', '255': 'UA', '257': 'BY', '259': 'MD', '260': 'PL',
    '262': 'DE', '266': 'GI', '268': 'PT', '270': 'LU', '272': 'IE', '274': 'IS', '276': 'AL',
    '278': 'MT', '280': 'CY', '282': 'GE', '283': 'AM', '284': 'BG', '286': 'TR', '288': 'FO',
    '290': 'GL', '292': 'SM', '293': 'SI', '294': 'MK', '295': 'LI', '297': 'ME',
    '302': 'CA', '308': 'PM', '310': 'US', '311': 'US', '312': 'US', '313': 'US', '314': 'US',
    '315': 'US', '316': 'US', '330': 'PR', '332': 'VI', '334': 'MX', '338': 'JM',
    '340': 'GP MQ BL MF', '342': 'BB', '344': 'AG', '346': 'KY', '348': 'VG', '350': 'BM',
    '352': 'GD', '354': 'MS', '356': 'KN', '358': 'LC', '360': 'VC', '362': 'CW SX BQ',
    '363': 'AW', '364': 'BS', '365': 'AI', '366': 'DM', '368': 'CU', '370': 'DO', '372': 'HT',
    '374': 'TT', '376': 'TC',
    '400': 'AZ', '401': 'KZ', '402': 'BT', '404': 'IN', '405': 'IN', '406': 'IN', '410': 'PK',
    '412': 'AF', '413': 'LK', '414': 'MM', '415': 'LB', '416': 'JO', '417': 'SY', '418': 'IQ',
    '419': 'KW', '420': 'SA', '421': 'YE', '422': 'OM', '424': 'AE', '425': 'IL PS', '426': 'BH',
    '427': 'QA', '428': 'MN', '429': 'NP', '430': 'AE', '431': 'AE', '432': 'IR', '434': 'UZ',
    '436': 'TJ', '437': 'KG', '438': 'TM', '440': 'JP', '441': 'JP', '450': 'KR', '452': 'VN',
    '454': 'HK', '455': 'MO', '456': 'KH', '457': 'LA', '460': 'CN', '461': 'CN', '466': 'TW',
    '467': 'KP', '470': 'BD', '472': 'MV',
    '502': 'MY', '505': 'AU CX CC NF', '510': 'ID', '514': 'TL', '515': 'PH', '520': 'TH',
    '525': 'SG', '528': 'BN', '530': 'NZ', '534': 'MP', '535': 'GU', '536': 'NR', '537': 'PG',
    '539': 'TO', '540': 'SB', '541': 'VU', '542': 'FJ', '543': 'WF', '544': 'AS', '545': 'KI',
    '546': 'NC', '547': 'PF', '548': 'CK', '549': 'WS', '550': 'FM', '551': 'MH', '552': 'PW',
    '553': 'TV', '554': 'TK', '555': 'NU',
    '602': 'EG', '603': 'DZ', '604': 'MA EH', '605': 'TN', '606': 'LY', '607': 'GM', '608': 'SN',
    '609': 'MR', '610': 'ML', '611': 'GN', '612': 'CI', '613': 'BF', '614': 'NE', '615': 'TG',
    '616': 'BJ', '617': 'MU', '618': 'LR', '619': 'SL', '620': 'GH', '621': 'NG', '622': 'TD',
    '623': 'CF', '624': 'CM', '625': 'CV', '626': 'ST', '627': 'GQ', '628': 'GA', '629': 'CG',
    '630': 'CD', '631': 'AO', '632': 'GW', '633': 'SC', '634': 'SD', '635': 'RW', '636': 'ET',
    '637': 'SO', '638': 'DJ', '639': 'KE', '640': 'TZ', '641': 'UG', '642': 'BI', '643': 'MZ',
    '645': 'ZM', '646': 'MG', '647': 'RE YT', '648': 'ZW', '649': 'NA', '650': 'MW', '651': 'LS',
    '652': 'BW', '653': 'SZ', '654': 'KM', '655': 'ZA', '657': 'ER', '658': 'SH AC TA',
    '659': 'SS',
    '702': 'BZ', '704': 'GT', '706': 'SV', '708': 'HN', '710': 'NI', '712': 'CR', '714': 'PA',
    '716': 'PE', '722': 'AR', '724': 'BR', '730': 'CL', '732': 'CO', '734': 'VE', '736': 'BO',
    '738': 'GY', '740': 'EC', '742': 'GF', '744': 'PY', '746': 'SR', '748': 'UY', '750': 'FK',
    '995': 'IO',
}

# Regions phonenumbers knows that ISO 3166-1 (and so iso-codes) does not list.
EXTRA_NAMES = {'AC': 'Ascension Island', 'TA': 'Tristan da Cunha', 'XK': 'Kosovo'}

SCHEMA = '''CREATE TABLE [countries] (
[sn] CHAR(2),
[ln] TEXT,
[pnum] TEXT,
[mmc] TEXT,
[numc] TEXT,
[u2] TEXT,
[r1] TEXT,
[r2] TEXT,
[r3] TEXT,
[r4] TEXT,
[mnc_rx] TEXT,
[n] TEXT,
CONSTRAINT [sqlite_autoindex_countries_1] PRIMARY KEY ([sn]));
CREATE TABLE mmc_sn (mmc CHAR(3) PRIMARY KEY, sn CHAR(2));
CREATE INDEX [index_countries_pnum] ON [countries] ([pnum]);
CREATE INDEX index_mmc_sn on mmc_sn(sn);
'''


def english_names():
    with open(ISO_3166, encoding='utf-8') as f:
        entries = json.load(f)['3166-1']
    names = {e['alpha_2']: e.get('common_name', e['name']) for e in entries}
    names.update(EXTRA_NAMES)
    return names


def native_names():
    """Country names in their own language, from Qt's locale data through tools/country_names."""
    with tempfile.TemporaryDirectory() as build:
        subprocess.run(['cmake', '-S', os.path.join(HERE, 'country_names'), '-B', build, '-G', 'Ninja'],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run(['cmake', '--build', build], check=True, stdout=subprocess.DEVNULL)
        out = subprocess.run([os.path.join(build, 'country_names')], check=True,
                             stdout=subprocess.PIPE).stdout.decode('utf-8')
    return dict(line.split('\t', 1) for line in out.splitlines() if '\t' in line)


def e212_by_country():
    by_country = {}
    for mcc, countries in E212.items():
        for sn in countries.split():
            by_country.setdefault(sn, []).append(mcc)
    return by_country


def provider_mccs(known):
    """MCCs of each country's networks in the provider list, less those E.212 gives another country."""
    by_country, ignored = {}, set()
    for country in ET.parse(PROVIDERS).getroot().findall('country'):
        sn = country.get('code', '').upper()
        for net in country.iter('network-id'):
            mcc = net.get('mcc', '')
            if sn in E212.get(mcc, '').split():
                by_country.setdefault(sn, set()).add(mcc)
            else:
                ignored.add((sn, mcc))
    for sn, mcc in sorted(ignored):
        print(f'ignored: the provider list gives MCC {mcc!r} to {sn}', file=sys.stderr)
    return {sn: sorted(m) for sn, m in by_country.items() if sn in known}


def allowed_lengths(desc, general):
    lengths = [n for n in (desc.possible_length if desc else ()) if n > 0]
    if not lengths:
        lengths = [n for n in general.possible_length if n > 0]
    return ','.join(str(n) for n in lengths)


def country_rows():
    english = english_names()
    native = native_names()
    regions = sorted(phonenumbers.SUPPORTED_REGIONS)
    providers = provider_mccs(set(regions))
    table = e212_by_country()
    rows = []
    for sn in regions:
        meta = PhoneMetadata.metadata_for_region(sn)
        mobile = meta.mobile if meta.mobile and meta.mobile.national_number_pattern else None
        mccs = providers.get(sn) or table.get(sn, [])
        n = english.get(sn, sn)
        rows.append({
            'sn': sn, 'n': n, 'ln': native.get(sn, n), 'pnum': str(meta.country_code),
            'mmc': ','.join(mccs), 'numc': allowed_lengths(mobile, meta.general_desc),
            'u2': meta.national_prefix or '', 'r1': mobile.national_number_pattern if mobile else '',
            'mnc_rx': meta.international_prefix or '',
        })
    return rows


def write_db(path, rows):
    tmp = path + '.tmp'
    if os.path.exists(tmp):
        os.remove(tmp)
    db = sqlite3.connect(tmp)
    db.execute('PRAGMA page_size=1024')
    db.executescript(SCHEMA)
    db.executemany('insert into countries(sn, ln, pnum, mmc, numc, u2, r1, r2, r3, r4, mnc_rx, n) '
                   "values(:sn, :ln, :pnum, :mmc, :numc, :u2, :r1, '', '', '', :mnc_rx, :n)", rows)
    known = {r['sn'] for r in rows}
    mapped = [(mcc, c.split()[0]) for mcc, c in sorted(E212.items()) if c.split()[0] in known]
    db.executemany('insert into mmc_sn(mmc, sn) values(?, ?)', mapped)
    db.commit()
    db.execute('VACUUM')
    db.close()
    os.replace(tmp, path)
    print(f'{path}: {len(rows)} countries, {len(mapped)} MCC rows, '
          f'{len({sn for _, sn in mapped})} countries by MCC')


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, '..', 'resources', 'res', 'countries.db')
    write_db(os.path.normpath(out), country_rows())


if __name__ == '__main__':
    main()
