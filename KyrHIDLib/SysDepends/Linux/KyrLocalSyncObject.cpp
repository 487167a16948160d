#include "KyrLocalSyncObject.h"

#include <pthread.h>

namespace kyr_hid_library {

struct CKyrLocalSyncObjectData {
    pthread_mutex_t m_Mutex;
};

CKyrLocalSyncObject::CKyrLocalSyncObject() : m_pData(new CKyrLocalSyncObjectData)
{
    pthread_mutex_init(&m_pData->m_Mutex, nullptr);
}

CKyrLocalSyncObject::~CKyrLocalSyncObject()
{
    pthread_mutex_destroy(&m_pData->m_Mutex);
    delete m_pData;
}

void CKyrLocalSyncObject::Lock()
{
    pthread_mutex_lock(&m_pData->m_Mutex);
}

void CKyrLocalSyncObject::Unlock()
{
    pthread_mutex_unlock(&m_pData->m_Mutex);
}

} // namespace kyr_hid_library
